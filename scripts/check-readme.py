#!/usr/bin/env python3
"""Runs every example of README.md against an installed copy of the library,
so the README cannot drift from what the library, the tool and the binding do.

    scripts/check-readme.py --prefix DIR     (DIR: a `cmake --install` prefix)

Each fenced block's info string says what it is:

  c FILE, python FILE, cmake FILE   written to FILE in a scratch directory
  console                           "$ command" lines run in that directory with
                                    sh; the lines after one are its expected
                                    output, where "..." stands for any text
                                    and a line of "..." for any lines
  json job-list|run-log|next-runs|store
                                    must parse and have the members, order and
                                    types of the real text
  sh setup                          each command (also each part of an
                                    && list) must be a line of .ci/run
  sh install                        each line must occur in scripts/test-install.sh
  sh deb                            each line must occur in scripts/test-deb.sh
  text metrics                      every sample's name must be one the
                                    daemon's /metrics writes
  dockerfile                        each quilmarn-cron command of a RUN line
                                    or an exec-form ENTRYPOINT or CMD must be
                                    one the tool has, with options its help
                                    lists

Any other block fails the check, so nothing in the README goes unchecked.
The scratch directory holds links to bindings/, examples/, pyproject.toml,
LICENSE and VERSION, so commands written for the repository's top directory
work there.
The system's own programs come before others on PATH (after the installed
copy's bin/), as on a fresh Debian machine.
"""

import argparse
import json
import os
import re
import shlex
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BLOCK = re.compile(r"^```([A-Za-z]+)(?:[ \t]+(\S+))?[ \t]*\n(.*?)^```[ \t]*$", re.M | re.S)


# Blocks of commands that CI runs in a script of its own.
SCRIPTS = {"install": "scripts/test-install.sh", "deb": "scripts/test-deb.sh"}


class Failure(Exception):
    pass


def blocks(text):
    for m in BLOCK.finditer(text):
        line = text.count("\n", 0, m.start()) + 1
        yield line, m.group(1), m.group(2), m.group(3)


def expected_matches(expected, actual):
    """Matches output lines against expected lines with "..." wildcards."""
    def line_regex(line):
        return re.compile("^" + ".*".join(re.escape(p) for p in line.split("...")) + "$")

    def match(i, j):
        if i == len(expected):
            return j == len(actual)
        if expected[i].strip() == "...":
            return any(match(i + 1, k) for k in range(j, len(actual) + 1))
        return j < len(actual) and line_regex(expected[i]).match(actual[j]) is not None and match(i + 1, j + 1)

    return match(0, 0)


def run_console(body, cwd, env):
    commands = []
    for line in body.splitlines():
        if line.startswith("$ "):
            commands.append((line[2:], []))
        elif commands:
            commands[-1][1].append(line)
        elif line.strip():
            raise Failure("output before the first command: %r" % line)
    for command, expected in commands:
        r = subprocess.run(["sh", "-c", command], cwd=cwd, env=env, capture_output=True, text=True, timeout=600)
        actual = (r.stdout + r.stderr).splitlines()
        if r.returncode != 0 and not any("exit status" in e for e in expected):
            raise Failure("$ %s\nexited with %d:\n%s" % (command, r.returncode, r.stdout + r.stderr))
        if r.returncode != 0:
            actual.append("(exit status %d)" % r.returncode)
        if not expected_matches(expected, actual):
            raise Failure("$ %s\nexpected:\n%s\ngot:\n%s" % (command, "\n".join(expected), "\n".join(actual)))


def check_dockerfile(body, env):
    for line in body.splitlines():
        word, _, rest = line.partition(" ")
        if word in ("ENTRYPOINT", "CMD"):
            argv = json.loads(rest)
        elif word == "RUN":
            argv = shlex.split(rest)
        else:
            continue
        for at in (i for i, a in enumerate(argv) if a == "quilmarn-cron"):
            words = []
            for a in argv[at + 1:]:
                if a in ("&&", "||", ";", "|"):
                    break
                words.append(a)
            if words[:1] == ["--dir"]:
                words = words[2:]
            if not words:
                raise Failure("%r names no command" % line)
            r = subprocess.run(["quilmarn-cron", "help", words[0]], env=env, capture_output=True, text=True,
                               timeout=60)
            if r.returncode != 0:
                raise Failure("%r: quilmarn-cron has no command %r" % (line, words[0]))
            for option in (w.split("=")[0] for w in words[1:] if w.startswith("--")):
                if not re.search(r"^  %s\b" % re.escape(option), r.stdout, re.M):
                    raise Failure("%r: %s has no option %s" % (line, words[0], option))


def shape(value):
    """Member names, order and JSON types; arrays by their first element."""
    if isinstance(value, dict):
        return {k: shape(v) for k, v in value.items()}, list(value)
    if isinstance(value, list):
        return ["list", shape(value[0]) if value else None]
    if isinstance(value, bool):
        return "bool"
    if isinstance(value, int):
        return "int"
    return type(value).__name__


def real_texts(prefix, workdir):
    """The four JSON texts, produced by the installed library."""
    libdir = os.path.dirname(find(prefix, "libquilmarn_crontab.so.1"))
    env = dict(os.environ, QUILMARN_CRONTAB_LIB=os.path.join(libdir, "libquilmarn_crontab.so.1"),
               PYTHONPATH=os.path.join(ROOT, "bindings", "python"))
    script = r"""
import json, sys, quilmarn_crontab as qc
data = sys.argv[1]
with qc.Scheduler(data) as s:
    job = s.add_job("backup", "30 2 * * *", "echo done")
    s.set_paths(job, env={"A": "1"})
    s.run_now(job)
    texts = {"job-list": [dict(j) for j in s.jobs()], "run-log": [dict(r) for r in s.logs(job)],
             "next-runs": qc.next_runs("@daily", 2)}
with open(data + "/crontab.json") as f:
    texts["store"] = json.load(f)
print(json.dumps(texts))
"""
    out = subprocess.run([sys.executable, "-c", script, os.path.join(workdir, "json-data")], env=env,
                         capture_output=True, text=True, timeout=120)
    if out.returncode != 0:
        raise Failure("producing the real JSON texts failed:\n" + out.stderr)
    return json.loads(out.stdout)


def find(prefix, name):
    for dirpath, _, files in os.walk(prefix):
        if name in files:
            return os.path.join(dirpath, name)
    raise Failure("%s not found under %s" % (name, prefix))


def lines_of(path):
    with open(os.path.join(ROOT, path), encoding="utf-8") as f:
        return [line.strip() for line in f]


def check(prefix):
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
        readme = f.read()
    with tempfile.TemporaryDirectory(prefix="readme-") as work:
        return check_in(readme, prefix, work)


def check_in(readme, prefix, work):
    for name in ("bindings", "examples", "pyproject.toml", "LICENSE", "VERSION"):
        os.symlink(os.path.join(ROOT, name), os.path.join(work, name))
    libdir = os.path.dirname(find(prefix, "libquilmarn_crontab.so.1"))
    env = dict(os.environ)
    env.update({
        "PATH": os.pathsep.join([os.path.join(prefix, "bin"), "/usr/bin", env.get("PATH", "")]),
        "PKG_CONFIG_PATH": os.path.join(libdir, "pkgconfig"),
        "CMAKE_PREFIX_PATH": prefix,
        # Stands in for ldconfig after an install into /usr/local.
        "LD_LIBRARY_PATH": libdir,
        "PYTHONDONTWRITEBYTECODE": "1",
    })
    env.pop("QUILMARN_CRONTAB_LIB", None)
    texts = None
    failures = 0
    checked = 0
    for line, lang, role, body in blocks(readme):
        try:
            if lang in ("c", "python", "cmake") and role:
                path = os.path.join(work, role)
                os.makedirs(os.path.dirname(path), exist_ok=True)
                with open(path, "w", encoding="utf-8") as f:
                    f.write(body)
            elif lang == "console" and role is None:
                run_console(body, work, env)
            elif lang == "json" and role in ("job-list", "run-log", "next-runs", "store"):
                if texts is None:
                    texts = {}  # produced once, whether or not that works
                    texts = real_texts(prefix, work)
                try:
                    shown = json.loads(body)
                except ValueError as e:
                    raise Failure("not valid JSON: %s" % e) from None
                if role not in texts:
                    raise Failure("no real text to compare with")
                if shape(shown) != shape(texts[role]):
                    raise Failure("members or types differ from the real text:\n%s" % json.dumps(texts[role]))
            elif lang == "text" and role == "metrics":
                with open(os.path.join(ROOT, "tools/quilmarn-cron/http/http_metrics.cpp"), encoding="utf-8") as f:
                    source = f.read()
                for sample in (c for c in body.splitlines() if c and not c.startswith("#")):
                    m = re.match(r"quilmarn_cron_([a-z_]+)[{ ]", sample)
                    if m is None or '"%s"' % m.group(1) not in source:
                        raise Failure("%r is not a metric /metrics writes" % sample)
            elif lang == "dockerfile" and role is None:
                check_dockerfile(body, env)
            elif lang == "sh" and role == "setup":
                ci = lines_of(".ci/run")
                for line_text in filter(None, (c.strip() for c in body.splitlines())):
                    for command in (c.strip() for c in line_text.split("&&")):
                        if command not in ci:
                            raise Failure("%r is not a step of .ci/run" % command)
            elif lang == "sh" and role in SCRIPTS:
                script = "\n".join(lines_of(SCRIPTS[role]))
                for command in filter(None, (c.split("#")[0].strip() for c in body.splitlines())):
                    if command not in script:
                        raise Failure("%r is not run by %s" % (command, SCRIPTS[role]))
            else:
                raise Failure("block kind %r %r is not checked; give it a kind this script knows" % (lang, role))
            checked += 1
        except (Failure, subprocess.TimeoutExpired) as e:
            failures += 1
            print("README.md:%d: %s" % (line, e), file=sys.stderr)
    print("README.md: %d blocks checked, %d failed" % (checked + failures, failures))
    return failures == 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--prefix", required=True, help="where the library was installed")
    args = parser.parse_args()
    sys.exit(0 if check(os.path.abspath(args.prefix)) else 1)


if __name__ == "__main__":
    main()
