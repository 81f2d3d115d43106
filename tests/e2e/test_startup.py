"""Start-up of the real daemon on the router: start-up delays, exit statuses,
the enabled switch, the start and stop notices and how they reach syslog.
What the command-line answers print: tests/cli/test_command_line.py."""
import os
import signal
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "simrouter"))

from router import ENABLED, LOG_DAEMON, LOG_NOTICE, STANDINS, Router


class CommandLine(unittest.TestCase):
    def test_help_and_refused_delays_log_nothing(self):
        # What each answer prints: tests/cli/test_command_line.py. The status
        # shows that the daemon did answer.
        with Router(settings=ENABLED) as r:
            for args, expected in ((["-h", "ignored"], 0), (["--help", "ignored"], 0),
                                   (["5s"], 1), (["0x10"], 1), (["5 "], 1), (["-H"], 1),
                                   (["---help"], 1), (["abc"], 1)):
                with self.subTest(args=args):
                    status, _, _ = r.run(*args)
                    self.assertEqual(status, expected)
                    self.assertEqual(r.log.texts(), [])

    def test_accepted_delays_start_the_daemon(self):
        # A leading blank, a plus sign, an empty argument and a negative
        # delay (which waits nothing) are all accepted.
        for arg in (" 0", "+0", "", "-5", "0"):
            with Router(settings=ENABLED) as r:
                r.start(arg, "further", "args")
                r.wait_log("started")
                self.assertEqual(r.stop(), 0, arg)

    def test_delay_is_waited_before_anything_is_logged(self):
        with Router(settings=ENABLED) as r:
            began = time.time()
            r.start("2")
            r.wait_log("started", timeout=8)
            self.assertGreaterEqual(time.time() - began, 1.9)
            self.assertEqual(r.stop(), 0)


class Lifecycle(unittest.TestCase):
    def test_disabled_or_missing_settings_refuse_to_start(self):
        for settings in (None, {"MOD_NORVALE_ENABLED": "0"}, {"OTHER": "1"}):
            with Router(settings=settings) as r:
                status, _, _ = r.run()
                self.assertEqual(status, 1)
                recs = r.log.find("module disabled, not starting")
                self.assertEqual(len(recs), 1)
                self.assertEqual(recs[0]["pri"], LOG_NOTICE)
                self.assertNotIn("started", r.log.texts())

    def test_sigterm_stops_cleanly_with_notices_at_daemon_facility(self):
        with Router(settings={"mod_norvale_enabled": "1"}) as r:
            r.start()
            started = r.wait_log("started")[0]
            self.assertEqual(started["pri"], LOG_NOTICE)
            self.assertEqual(started["facility"], LOG_DAEMON)
            self.assertEqual(started["ident"], "norvale-eventd")
            self.assertEqual(started["pid"], r.daemon_pid)
            r.wait_cycle_end()  # in its loop
            self.assertEqual(r.stop(signal.SIGTERM), 0)
            self.assertEqual(r.log.texts()[-1], "stopped, got_signal: 15")
            self.assertNotIn("error on poll, stopping", r.log.texts())

    def test_sigint_and_sigquit_also_stop(self):
        for sig in (signal.SIGINT, signal.SIGQUIT):
            with Router(settings=ENABLED) as r:
                r.start()
                r.wait_log("started")
                self.assertEqual(r.stop(sig), 0)
                self.assertEqual(r.log.texts()[-1], "stopped, got_signal: %d" % sig)

    def test_missing_date_tool_warns_once_and_still_runs(self):
        with Router(settings=ENABLED, path_dirs=[STANDINS]) as r:
            r.start()
            r.wait_log("started")
            warnings = r.log.find("Warning: unable to get start timestamp")
            self.assertEqual(len(warnings), 1)
            # Issued before the log is opened: default identity, no pid.
            self.assertIsNone(warnings[0]["pid"])
            self.assertEqual(r.stop(), 0)

    def test_garbage_settings_do_not_crash(self):
        garbage = "MOD_NORVALE_ENABLED=1\n" + "=" * 20000 + "\n" + "K" * 17000 + "=v\n" \
            + "MOD_NORVALE_SNMP_MANAGER_IP_ADDR=999.x\nMOD_NORVALE_DEVICE_NAME=" + "n" * 5000 + "\n\x00\xff\n"
        with Router(settings=garbage) as r:
            r.start()
            r.wait_log("started")
            self.assertEqual(r.stop(), 0)


if __name__ == "__main__":
    unittest.main()
