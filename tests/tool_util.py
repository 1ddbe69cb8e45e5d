"""What the tests of quilmarn-cron share: the program under test, named by the
first argument of the test script, and a data directory of its own per test."""

import os
import queue
import subprocess
import sys
import tempfile
import time
import unittest

WAIT = 60  # seconds: generous bound of every wait on the tool


def open_in_dir(path, mode="r"):
    """A file of a data directory, opened as the tool opens it: never through a link."""
    flags = os.O_RDONLY if mode == "r" else os.O_WRONLY | os.O_CREAT | os.O_TRUNC
    return open(os.open(path, flags | os.O_NOFOLLOW, 0o600), mode, encoding="utf-8")


def wait_for(predicate, timeout=WAIT):
    """Whether `predicate` became true within `timeout` seconds."""
    end = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > end:
            return False
        time.sleep(0.05)
    return True


class ToolTest(unittest.TestCase):
    TOOL = None  # set by main()

    def setUp(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.tmp = tmp.name
        self.data = os.path.join(self.tmp, "data")
        os.makedirs(self.data, 0o700)  # commands other than init refuse a missing one

    def run_tool(self, *args, stdin=None, **kw):
        """The tool with `args` as its whole command line."""
        return subprocess.run([self.TOOL, *args], input=stdin, capture_output=True, text=True, timeout=WAIT,
                              **kw)

    def tool(self, *args, stdin=None, **kw):
        """A command on the test's data directory."""
        return self.run_tool("--dir", self.data, *args, stdin=stdin, **kw)

    def check_event(self, e):
        """What every event a test waits past must hold; nothing here."""

    def wait_event(self, d, name, **members):
        """The next event `name` with `members` in d.events, a queue of the
        process's JSON lines, parsed; fails after WAIT seconds."""
        end = time.monotonic() + WAIT
        while time.monotonic() < end:
            try:
                e = d.events.get(timeout=1)
            except queue.Empty:
                continue
            self.check_event(e)
            if e["event"] == name and all(e.get(k) == v for k, v in members.items()):
                return e
        self.fail("no event %s %r" % (name, members))


def main():
    """Runs the tests of the script: its first argument is the tool."""
    ToolTest.TOOL = os.path.abspath(sys.argv.pop(1))
    unittest.main(module="__main__")
