"""Several instances on one database: each scheduled fire time runs once.

Usage: cluster_test.py PATH_TO_CLUSTER_HOST [unittest options]
Every test drives cluster_host processes (one node each, its own data
directory, the same job) and reads the lines they append to one file.
"""

import collections
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pg_server  # noqa: E402

HOST = None
SERVER = None
SECONDS = 15  # each run: long enough for a kill half-way, short enough for CI


def setUpModule():
    global SERVER
    s = pg_server.PgServer()
    SERVER = s.start()
    if SERVER is None:
        s.close()
        if os.environ.get("CI"):
            raise RuntimeError("cannot start PostgreSQL under CI: " + s.why)
        raise unittest.SkipTest("no PostgreSQL server can be started here: " + s.why)


def tearDownModule():
    if SERVER is not None:
        SERVER.close()


class ClusterTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="qc-cluster-")
        self.addCleanup(shutil.rmtree, self.tmp, True) if not os.environ.get("QC_KEEP") else None
        self.out = os.path.join(self.tmp, "fires")
        SERVER.psql("DROP TABLE IF EXISTS quilmarn_claims")

    def node(self, name, policy="skip", shift_ms=0, mode="tick", seconds=SECONDS):
        p = subprocess.Popen([HOST, os.path.join(self.tmp, name), SERVER.conninfo(), name, policy, self.out,
                              str(seconds), str(shift_ms), mode, os.path.join(self.tmp, "lock")],
                             stdout=subprocess.PIPE, text=True)
        self.addCleanup(lambda: p.poll() is None and (p.kill(), p.wait()))
        self.assertEqual(p.stdout.readline().strip(), "ready")
        return p

    def finish(self, *nodes):
        for p in nodes:
            self.assertEqual(p.wait(timeout=SECONDS + 60), 0)
            p.stdout.close()

    def lines(self, kind):
        with open(self.out) as f:
            return [line.split() for line in f if line.startswith(kind + " ")]

    def runs(self):
        return collections.Counter(int(w[1]) for w in self.lines("RUN"))

    def assert_each_once(self, runs, first, last):
        twice = sorted(t for t, n in runs.items() if n > 1)
        self.assertEqual(twice, [], "fire times run more than once")
        missing = [t for t in range(first, last + 1) if runs[t] == 0]
        self.assertEqual(missing, [], "fire times run nowhere")

    def test_three_nodes_one_killed_half_way_run_each_fire_time_once(self):
        start = int(time.time())
        a, b, c = self.node("a"), self.node("b"), self.node("c")
        time.sleep(SECONDS / 2)
        b.send_signal(signal.SIGKILL)
        b.wait()
        b.stdout.close()
        self.finish(a, c)
        self.assert_each_once(self.runs(), start + 3, start + SECONDS - 2)
        self.assertGreater(len(self.lines("LOST")), SECONDS, "the nodes did not compete for the fire times")

    def test_clock_skew_of_two_seconds_still_runs_each_fire_time_once(self):
        start = int(time.time())
        a, b = self.node("a"), self.node("b", shift_ms=2000)
        self.finish(a, b)
        self.assert_each_once(self.runs(), start + 5, start + SECONDS - 2)

    def database_down(self, policy):
        start = int(time.time())
        a, b = self.node("a", policy), self.node("b", policy)
        time.sleep(4)
        down = int(time.time())
        SERVER.down()
        time.sleep(5)
        self.assertTrue(SERVER.up())
        back = int(time.time())
        self.finish(a, b)
        return start, down, back

    def test_database_down_under_skip_runs_nothing_twice_and_records_what_it_skips(self):
        start, down, back = self.database_down("skip")
        runs = self.runs()
        self.assertEqual(sorted(t for t, n in runs.items() if n > 1), [])
        unrun = {int(w[1]) for w in self.lines("UNRUN")}
        self.assertTrue(unrun, "no fire time was recorded as not run")
        missing = [t for t in range(start + 3, start + SECONDS - 2) if runs[t] == 0 and t not in unrun]
        self.assertEqual(missing, [], "fire times neither run nor recorded")
        # Back-off is bounded: the fire times run again soon after the database.
        self.assertTrue(any(t > back + 1 for t in runs), f"no run after the database came back at {back}: {sorted(runs)}")

    def test_database_down_under_run_runs_every_fire_time(self):
        start, down, back = self.database_down("run")
        runs = self.runs()
        missing = [t for t in range(start + 3, start + SECONDS - 2) if runs[t] == 0]
        self.assertEqual(missing, [])
        self.assertEqual(self.lines("UNRUN"), [])

    def test_database_that_does_not_answer_counts_as_unreachable_after_the_limit(self):
        a = self.node("a", seconds=20)
        deadline = time.monotonic() + 10
        while not os.path.exists(self.out) or not self.lines("RUN"):
            self.assertLess(time.monotonic(), deadline, "no run before the server was frozen")
            time.sleep(0.1)
        frozen = SERVER.pids()
        for pid in frozen:
            os.kill(pid, signal.SIGSTOP)
        try:
            time.sleep(8)
        finally:
            for pid in frozen:
                os.kill(pid, signal.SIGCONT)
        thawed = int(time.time())
        self.finish(a)
        self.assertTrue(any(" in time)" in " ".join(w) for w in self.lines("UNRUN")),
                        "no claim ran into its time limit")
        self.assertTrue(any(t > thawed + 1 for t in self.runs()), "no run after the server answered again")

    def test_unended_claim_blocks_a_skip_job_only_while_its_heartbeat_is_fresh(self):
        SERVER.psql("CREATE TABLE quilmarn_claims (job text NOT NULL, fire_time bigint NOT NULL,"
                    " node text NOT NULL, claimed_at timestamptz NOT NULL DEFAULT now(),"
                    " heartbeat_at timestamptz NOT NULL DEFAULT now(), ended_at timestamptz,"
                    " PRIMARY KEY (job, fire_time))")
        for node, age in (("alive", "0 s"), ("dead", "31 s")):
            SERVER.psql("DELETE FROM quilmarn_claims")
            SERVER.psql(f"INSERT INTO quilmarn_claims VALUES ('long', 1, '{node}', now(), now() - '{age}'::interval)")
            if os.path.exists(self.out):
                os.remove(self.out)
            self.finish(self.node("a", mode="long", seconds=5))
            refused = [w for w in self.lines("LOST") if w[3] == node]
            self.assertEqual((bool(refused), not self.lines("RUN")), (node == "alive", node == "alive"), node)

    def test_running_claim_gets_heartbeats(self):
        a = self.node("a", mode="slow", seconds=12)
        deadline = time.monotonic() + 20
        beaten = "SELECT count(*) FROM quilmarn_claims WHERE ended_at IS NULL" \
                 " AND heartbeat_at >= claimed_at + interval '4 s'"
        while SERVER.psql(beaten).strip() != "1":
            self.assertLess(time.monotonic(), deadline, "the running claim's heartbeat never moved")
            time.sleep(0.2)
        self.finish(a)

    def test_skip_job_longer_than_its_interval_is_not_started_on_another_node(self):
        a, b = self.node("a", mode="long", seconds=10), self.node("b", mode="long", seconds=10)
        self.finish(a, b)
        with open(self.out) as f:
            text = f.read()
        self.assertNotIn("OVERLAP", text)
        self.assertTrue(any(w[3] != w[2] for w in self.lines("LOST")), "no refusal by the other node")
        self.assertGreaterEqual(len(self.lines("RUN")), 2)


if __name__ == "__main__":
    HOST = sys.argv.pop(1)
    unittest.main()
