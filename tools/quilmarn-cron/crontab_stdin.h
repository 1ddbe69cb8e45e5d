// cron's '%' in a command line: the text after the first unescaped '%' is
// the command's standard input, every further '%' a line break, and "\%" a
// literal percent sign. A job keeps such a line as plain shell text that
// feeds the input through a quoted here-document:
//
//   { COMMAND
//   } <<'QUILMARN_STDIN'
//   first line
//   second line
//   QUILMARN_STDIN
//
// so every host runs it alike, and export (and the tables of `list` and
// `status`) turn it back into the '%' form.
#pragma once

#include <string>
#include <string_view>

// The job command of a crontab line's command text. False, with the reason
// in `why`, when the text cannot be run as cron would.
bool cron_percent_read(std::string_view text, std::string* cmd, std::string* why);

// The crontab command text of a job command: import reads it back into the
// same command. False when no line can hold it (a line break outside the
// form above).
bool cron_percent_write(const std::string& cmd, std::string* text);

// The command part of a job command: before its standard input, if any.
std::string_view cron_percent_command(const std::string& cmd);

// A job command on one line, for tables: the '%' form of one with standard
// input, else the command with each line break shown as "\n".
std::string cron_command_line(const std::string& cmd);
