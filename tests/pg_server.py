"""A private PostgreSQL server for tests and benchmarks: initdb and pg_ctl in a
temporary directory, listening on a Unix socket there and on a loopback port,
run as an unprivileged user (`postgres` when started as root).

PgServer.start() returns None with the reason in `why` when no server can be
made here (no PostgreSQL binaries): callers skip with that line, except under
CI (the CI variable set), where it is a failure.
"""

import glob
import os
import shutil
import socket
import subprocess
import tempfile


def _bindir():
    for d in sorted(glob.glob("/usr/lib/postgresql/*/bin"), reverse=True):
        if os.path.exists(os.path.join(d, "initdb")):
            return d
    found = shutil.which("initdb")
    return os.path.dirname(found) if found else None


def _free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class PgServer:
    def __init__(self):
        self.why = ""
        self.top = None

    def _as_user(self, args):
        if os.geteuid() == 0:
            args = ["runuser", "-u", self.user, "--"] + args
        return subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)

    def start(self):
        """The server, or None (see `why`)."""
        self.bin = _bindir()
        if self.bin is None:
            self.why = "no PostgreSQL server binaries (install postgresql-15)"
            return None
        self.user = "postgres" if os.geteuid() == 0 else None
        if self.user is not None:
            try:
                import pwd
                pwd.getpwnam(self.user)
            except KeyError:
                self.why = "no user 'postgres' to run the server as"
                return None
        self.top = tempfile.mkdtemp(prefix="qc-pg-")
        os.chmod(self.top, 0o755)
        if self.user is not None:
            shutil.chown(self.top, self.user)
        self.data = os.path.join(self.top, "data")
        self.port = _free_port()
        r = self._as_user([os.path.join(self.bin, "initdb"), "-D", self.data, "-A", "trust", "-U", "postgres"])
        if r.returncode != 0:
            self.why = "initdb failed: " + r.stdout.strip()[-500:]
            return None
        if not self.up():
            return None
        return self

    def up(self):
        opts = f"-k {self.top} -p {self.port} -c listen_addresses=127.0.0.1 -c fsync=off"
        r = self._as_user([os.path.join(self.bin, "pg_ctl"), "-D", self.data, "-o", opts, "-w", "-l",
                           os.path.join(self.top, "log"), "start"])
        if r.returncode != 0:
            self.why = "pg_ctl start failed: " + r.stdout.strip()[-500:]
        return r.returncode == 0

    def down(self):
        self._as_user([os.path.join(self.bin, "pg_ctl"), "-D", self.data, "-m", "immediate", "-w", "stop"])

    def pids(self):
        """The postmaster and its children (the server's own processes)."""
        with open(os.path.join(self.data, "postmaster.pid")) as f:
            main = int(f.readline())
        found = [main]
        for entry in os.listdir("/proc"):
            try:
                with open(f"/proc/{entry}/stat") as f:
                    if int(f.read().rsplit(")", 1)[1].split()[1]) == main:
                        found.append(int(entry))
            except (OSError, ValueError, IndexError):
                pass
        return found

    def conninfo(self, tcp=False):
        host = "127.0.0.1" if tcp else self.top
        return f"host={host} port={self.port} user=postgres dbname=postgres"

    def psql(self, sql):
        return subprocess.run([os.path.join(self.bin, "psql"), "-X", "-A", "-t", "-d", self.conninfo(), "-c",
                               sql], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True).stdout

    def close(self):
        if self.top is None:
            return
        if os.path.exists(os.path.join(self.data, "postmaster.pid")):
            self.down()
        shutil.rmtree(self.top, ignore_errors=True)
        self.top = None
