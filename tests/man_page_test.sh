#!/bin/sh
# The man page renders without a warning and describes every command that
# the tool's own help lists.
#   man_page_test.sh MAN_PAGE QUILMARN_CRON
set -eu
page=$1
tool=$2
warnings=$(groff -man -Tutf8 -ww -z "$page" 2>&1)
if [ -n "$warnings" ]; then
    echo "$page renders with warnings:"; echo "$warnings"; exit 1
fi
missing=""
for command in $("$tool" --help | sed -n 's/^ [ *] \{1,2\}\([a-z][a-z-]*\) .*/\1/p'); do
    grep -q "^\.B $command\( \|$\)" "$page" || missing="$missing $command"
done
if [ -n "$missing" ]; then
    echo "$page does not describe:$missing"; exit 1
fi
