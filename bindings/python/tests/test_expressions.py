"""The module functions: validate, next_time, next_runs, describe."""

import os
import threading
import time
import unittest
from datetime import datetime, timedelta, timezone

import quilmarn_crontab as qc


class ExpressionTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        os.environ["TZ"] = "UTC"
        time.tzset()

    def test_version(self):
        with open(os.path.join(os.path.dirname(__file__), "..", "..", "..", "VERSION")) as f:
            self.assertEqual(qc.version(), f.read().strip())

    def test_invalid_expressions_raise_with_the_parsers_message(self):
        cases = {
            "60 * * * *": "Invalid minute field '60': value must be between 0 and 59",
            "* * *": "Expression has 3 fields (expected 5)",
            "@rebooted": "Unknown macro '@rebooted'",
            "": "Expression is empty",
        }
        for expr, message in cases.items():
            for fn in (qc.validate, qc.next_time, qc.next_runs, qc.describe, qc.explain):
                with self.subTest(expr=expr, fn=fn.__name__):
                    with self.assertRaises(qc.ExpressionError) as caught:
                        fn(expr)
                    self.assertEqual(str(caught.exception), message)
                    self.assertEqual(caught.exception.expression, expr)
                    self.assertIsInstance(caught.exception, ValueError)
            self.assertFalse(qc.is_valid(expr))
        self.assertIsNone(qc.validate("*/15 9-17 * * MON-FRI"))
        self.assertTrue(qc.is_valid("@every 90s"))
        # Valid, but without a calendar fire time.
        self.assertEqual((qc.next_time("@reboot"), qc.next_runs("@reboot"), qc.describe("@reboot")),
                         (None, [], "Once after the machine starts"))

    def test_a_message_quoting_json_specials_survives(self):
        with self.assertRaises(qc.ExpressionError) as caught:
            qc.next_runs('@x"y\\')
        self.assertEqual(str(caught.exception), "Unknown macro '@x\"y\\'")

    def test_next_time(self):
        self.assertEqual(qc.next_time("@every 90s", 100), 180)
        # 2024-01-01 00:00:00 UTC was a Monday.
        self.assertEqual(qc.next_time("30 9 * * MON-FRI", 1704067200), 1704067200 + 9 * 3600 + 1800)
        self.assertIsNone(qc.next_time("0 0 30 2 *", 0))
        now = time.time()
        self.assertGreater(qc.next_time("* * * * *"), now)

    def test_times_as_aware_datetimes(self):
        berlin = timezone(timedelta(hours=1))
        monday = datetime(2024, 1, 1, 1, 0, tzinfo=berlin)  # 00:00 UTC
        self.assertEqual(qc.next_time("@every 1h", monday), 1704070800)
        found = qc.next_datetime("30 9 * * MON-FRI", monday, tz=berlin)
        self.assertEqual(found, datetime(2024, 1, 1, 9, 30, tzinfo=timezone.utc))
        self.assertEqual(found.utcoffset(), timedelta(hours=1))
        self.assertIsNotNone(qc.next_datetime("@daily").tzinfo)
        self.assertEqual([d.timestamp() for d in qc.next_datetimes("@hourly", 2)],
                         [r["unix"] for r in qc.next_runs("@hourly", 2)])
        with self.assertRaisesRegex(ValueError, "naive"):
            qc.next_time("@daily", datetime(2024, 1, 1))

    def test_next_runs(self):
        runs = qc.next_runs("@every 1h", 3)
        self.assertEqual(len(runs), 3)
        self.assertEqual([list(r) for r in runs], [["unix", "iso", "offset"]] * 3)
        self.assertEqual([r["unix"] % 3600 for r in runs], [0, 0, 0])
        self.assertEqual(runs[1]["unix"] - runs[0]["unix"], 3600)
        self.assertEqual(time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(runs[0]["unix"])), runs[0]["iso"])
        self.assertEqual(len(qc.next_runs("* * * * *", 500)), 100)
        self.assertEqual(qc.next_runs("0 0 30 2 *"), [])

    def test_describe(self):
        self.assertEqual(qc.describe("30 9 * * 1-5"), "At 09:30, Monday through Friday")
        self.assertEqual(qc.describe("@every 90s"), "Every 90 seconds")
        self.assertEqual(qc.explain("*/15 9-17 * * MON-FRI"),
                         "Every 15 minutes, from 09:00 through 17:59, Monday through Friday")

    def test_texts_are_copies_not_views_of_the_library_buffer(self):
        first = qc.describe("@hourly")
        qc.describe("@daily")
        self.assertEqual(first, "Every hour")
        results = {}

        def worker(n):
            results[n] = [qc.describe("*/%d * * * *" % n) for _ in range(200)]

        threads = [threading.Thread(target=worker, args=(n,)) for n in (2, 3, 4, 5)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        for n, texts in results.items():
            self.assertEqual(set(texts), {"Every %d minutes" % n})

    def test_arguments_are_checked_before_the_call(self):
        with self.assertRaises(TypeError):
            qc.validate(5)
        with self.assertRaises(ValueError):
            qc.validate("* * * * *\0 garbage")


if __name__ == "__main__":
    unittest.main()
