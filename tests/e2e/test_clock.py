"""The daemon's clock: a date tool that hangs while the daemon asks it for
the time of a poll phase is cut off like any tool, said so, and the event goes
out stamped with the system clock's time."""
import calendar
import os
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "simrouter"))

from router import LOG_NOTICE, STANDINS, Router

SETTINGS = {
    "MOD_NORVALE_ENABLED": "1",
    "MOD_NORVALE_SMS_RECIPIENT_1": "+420111",
    "MOD_NORVALE_EVENT_TEST_EVENT_SUBSCRIBE_SMS": "1",
}
# Answers every question but the current time once the flag file exists;
# that one it never answers, as a date tool on a wedged system might not.
HANGING_NOW = ("#!/bin/sh\n"
               "[ \"$1\" = +%s ] && [ -e \"$ROOT_FLAG\" ] && exec sleep 100000\n"
               "exec /bin/date \"$@\"\n")


class Clock(unittest.TestCase):
    def test_hung_date_in_the_poll_phase_is_cut_off_and_the_event_carries_the_real_time(self):
        with Router(settings=SETTINGS, uptime="90000.00 100.00\n") as r:
            flag = r.path("run/date-hangs")
            fake = r.write_file("bin/date", HANGING_NOW.replace("$ROOT_FLAG", "/run/date-hangs"))
            os.chmod(fake, 0o755)
            r.path_dirs = [os.path.dirname(fake), STANDINS, "/usr/bin", "/bin"]
            r.start()
            r.wait_log("started")
            open(flag, "w").close()
            requested = time.time()
            r.request_test_event()
            why = r.wait_log("Tool date failed: timed out after 30 s", timeout=45)
            self.assertEqual([rec["pri"] for rec in why], [LOG_NOTICE])
            r.wait_calls("sms", 1, timeout=10)
            stamp = r.calls("sms")[0][1][1].split("Timestamp: ")[1]
            sent = calendar.timegm(time.strptime(stamp, "%Y-%m-%d %H:%M:%S"))
            # The router runs in UTC here; the stamp is the moment the date
            # tool was given up on, about 30 s after the request.
            self.assertGreaterEqual(sent, int(requested))
            self.assertLessEqual(sent, time.time() + 1)
            self.assertEqual(r.stop(), 0)


if __name__ == "__main__":
    unittest.main()
