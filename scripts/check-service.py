#!/usr/bin/env python3
"""Starts an installed quilmarn-cron@.service instance's daemon as systemd
would, for machines where systemd does not run: the unit's ExecStart in its
state directory, with a notification socket. Checks that it reports READY=1,
carries out a command given beside it, and on SIGTERM reports STOPPING=1 and
exits with 0.

    scripts/check-service.py UNIT_FILE INSTANCE
"""

import os
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

DEADLINE = 30.0


def exec_start(unit, instance):
    with open(unit, encoding="utf-8") as f:
        line = next(l for l in f if l.startswith("ExecStart="))
    words = shlex.split(line[len("ExecStart="):].replace("%S", "/var/lib").replace("%i", instance))
    # As systemd does: an unbraced $NAME becomes the words of its value, none when unset.
    return [v for w in words for v in (os.environ.get(w[1:], "").split() if w.startswith("$") else [w])]


def wait_for(sock, word):
    end = time.monotonic() + DEADLINE
    while time.monotonic() < end:
        sock.settimeout(max(0.01, end - time.monotonic()))
        try:
            message = sock.recv(4096).decode()
        except socket.timeout:
            break
        if word in message.split("\n"):
            return
    sys.exit("no %s from the daemon within %d s" % (word, DEADLINE))


def main():
    unit, instance = sys.argv[1], sys.argv[2]
    command = exec_start(unit, instance)
    data = command[command.index("--dir") + 1]
    os.makedirs(data, mode=0o700, exist_ok=False)  # systemd's StateDirectory=, StateDirectoryMode=
    work = tempfile.mkdtemp()
    try:
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        sock.bind(os.path.join(work, "notify"))
        env = dict(os.environ, NOTIFY_SOCKET=os.path.join(work, "notify"))
        began = time.monotonic()
        daemon = subprocess.Popen(command, cwd=data, env=env, stdout=subprocess.DEVNULL)
        wait_for(sock, "READY=1")
        print("ready after %.0f ms" % ((time.monotonic() - began) * 1000))
        tool = command[0]
        subprocess.run([tool, "--dir", data, "add", "hello", "@every 1m", "echo hello"], check=True)
        subprocess.run([tool, "--dir", data, "status"], check=True)
        daemon.send_signal(signal.SIGTERM)
        wait_for(sock, "STOPPING=1")
        if daemon.wait(DEADLINE) != 0:
            sys.exit("the daemon exited with %d" % daemon.returncode)
    finally:
        shutil.rmtree(work)
        shutil.rmtree(data, ignore_errors=True)


if __name__ == "__main__":
    main()
