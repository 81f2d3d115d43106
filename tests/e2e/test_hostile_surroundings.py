"""Hostile input and surroundings against the real daemon: forged log text,
failing channels, stray signals, closed standard streams, FIFOs at the paths
it reads and a system log that stops reading. Nothing forged, duplicated,
hung or silently lost."""
import os
import signal
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "simrouter"))

from router import DAEMON, LOG_NOTICE, STANDINS, Router, now_line

CONFIG_LINE = "cfg: user 'admin' updated configuration of LAN"
LOGIN_LINE = "login[2]: pam_unix(login:auth): authentication failure; user="
BASE = {
    "MOD_NORVALE_ENABLED": "1",
    "MOD_NORVALE_DEVICE_NAME": "R1",
    "MOD_NORVALE_SMS_RECIPIENT_1": "+420111",
}
NOTICE = "Ignoring signal %d: settings are read only at start, restart to apply them"


class Hostile(unittest.TestCase):
    def router(self, start=True, **extra):
        s = dict(BASE)
        s.update(extra)
        r = Router(settings=s)
        self.addCleanup(r.close)
        if start:
            r.start()
            r.wait_log("started")
        return r

    def sms_texts(self, r):
        return [args[1] for _, args in r.calls("sms")]

    def test_entry_forged_at_byte_1023_of_a_long_line_raises_nothing(self):
        r = self.router(MOD_NORVALE_EVENT_CONFIG_CHANGED_SUBSCRIBE_SMS="1",
                        MOD_NORVALE_EVENT_LOGIN_FAILED_SUBSCRIBE_SMS="1")
        head = now_line(LOGIN_LINE)
        forged = head + "x" * (1023 - len(head)) + now_line(CONFIG_LINE)
        r.send_lines(forged, forged + "y" * 5000, now_line(CONFIG_LINE))
        r.wait_calls("sms", 3)
        r.wait_cycle_end()  # the sends of these lines are over
        texts = self.sms_texts(r)
        self.assertEqual([t.split("\n")[0] for t in texts],
                         ["Login failed", "Login failed", "Configuration changed"])
        warnings = [t for t in r.log.texts() if t.startswith("Warning: log line longer than 1023 bytes")]
        self.assertEqual(warnings, ["Warning: log line longer than 1023 bytes, the rest discarded "
                                    "(1 cut since the last warning)"])

    def test_address_that_got_the_alert_never_gets_it_again(self):
        r = self.router(MOD_NORVALE_EVENT_CONFIG_CHANGED_SUBSCRIBE_MAIL_GROUP_1="1",
                        MOD_NORVALE_MAIL_GROUP_1_ADDR_1="good@example.org",
                        MOD_NORVALE_MAIL_GROUP_1_ADDR_2="bad@example.org",
                        MOD_NORVALE_MAIL_GROUP_1_ADDR_3="late@example.org")
        r.set_tool_exit("email", [0, 1, 1, 0])
        r.send_lines(now_line(CONFIG_LINE))
        r.wait_calls("email", 5, timeout=15)
        r.wait_cycles(1)  # the retry pass of the next cycle has nothing more
        self.assertEqual([args[1] for _, args in r.calls("email")],
                         ["good@example.org", "bad@example.org", "bad@example.org",
                          "bad@example.org", "late@example.org"])

    def test_sms_goes_out_while_snmp_and_mail_both_fail(self):
        r = self.router(MOD_NORVALE_EVENT_CONFIG_CHANGED_SUBSCRIBE_TRAP="1",
                        MOD_NORVALE_EVENT_CONFIG_CHANGED_SUBSCRIBE_MAIL_GROUP_1="1",
                        MOD_NORVALE_EVENT_CONFIG_CHANGED_SUBSCRIBE_SMS="1",
                        MOD_NORVALE_EVENT_LOGIN_FAILED_SUBSCRIBE_SMS="1",
                        MOD_NORVALE_MAIL_GROUP_1_ADDR_1="ops@example.org")
        r.set_tool_exit("net-snmptrap", [1])
        r.set_tool_exit("email", [1])
        r.send_lines(now_line(CONFIG_LINE))
        r.wait_calls("sms", 1)
        # Both channels have failed again in a retry pass.
        r.wait_calls("net-snmptrap", 2)
        r.wait_calls("email", 2)
        r.send_lines(now_line(LOGIN_LINE + "x"))
        r.wait_calls("sms", 2)
        self.assertEqual(self.sms_texts(r)[1].split("\n")[0], "Login failed")

    def test_event_dropped_for_an_unreadable_time_is_reported(self):
        # A date tool that can give the time of day but not convert a text.
        with Router(settings=dict(BASE)) as r:
            fake = r.write_file("bin/date", "#!/bin/sh\n[ \"$1\" = -d ] && exit 1\nexec /bin/date \"$@\"\n")
            os.chmod(fake, 0o755)
            r.path_dirs = [os.path.dirname(fake), STANDINS, "/usr/bin", "/bin"]
            r.start()
            r.wait_log("started")
            r.send_lines(now_line(CONFIG_LINE), now_line(CONFIG_LINE))
            rec = r.wait_log("Warning: time of a CONFIG_CHANGED log entry unreadable, event dropped "
                             "(1 dropped since the last warning)")[0]
            self.assertEqual(rec["pri"], LOG_NOTICE)
            r.wait_cycle_end()  # the second line has been read too
            self.assertEqual(len([t for t in r.log.texts() if "unreadable" in t]), 1)

    def test_habitual_signals_do_not_end_the_daemon(self):
        r = self.router(MOD_NORVALE_EVENT_CONFIG_CHANGED_SUBSCRIBE_SMS="1")
        for sig in (signal.SIGHUP, signal.SIGUSR1, signal.SIGUSR2, signal.SIGALRM, signal.SIGPIPE):
            r.send_signal(sig)
            r.wait_for(lambda: not r.signal_pending(r.daemon_pid, sig), what="signal %d taken" % sig)
            self.assertTrue(r.alive(r.daemon_pid), sig)
        for sig in (signal.SIGHUP, signal.SIGUSR2):  # SIGUSR1 asks for the status
            self.assertEqual(r.wait_log(NOTICE % sig)[0]["pri"], LOG_NOTICE)
        r.send_lines(now_line(CONFIG_LINE))
        r.wait_calls("sms", 1)
        self.assertEqual(r.stop(), 0)
        self.assertNotIn("error on poll, stopping", r.log.texts())

    def test_closed_standard_streams_are_opened_on_dev_null(self):
        r = self.router(start=False, MOD_NORVALE_EVENT_TEST_EVENT_SUBSCRIBE_SMS="1")
        r.daemon_pid = r.start_program(["/bin/sh", "-c", 'exec "$0" <&- >&- 2>&-', DAEMON])
        r.wait_log("started")
        r.wait_log("Warning: nothing read from stdin!")
        for fd in (0, 1, 2):
            self.assertEqual(os.readlink("/proc/%d/fd/%d" % (r.daemon_pid, fd)), "/dev/null")
        r.request_test_event()
        r.wait_calls("sms", 1)
        self.assertRegex(self.sms_texts(r)[0], r"\nTimestamp: \d{4}-\d\d-\d\d \d\d:\d\d:\d\d$")
        self.assertEqual(r.stop(), 0)

    def test_fifos_at_the_files_it_reads_neither_hang_nor_spin_start_up(self):
        for name in ("os-release", "uptime", "run/norvale_boot_timestamp.txt"):
            with self.subTest(name), Router(settings=dict(BASE), uptime="10.00 5.00\n") as r:
                if name == "uptime":
                    os.unlink(r.path("uptime"))
                os.mkfifo(r.path(name))
                r.start()
                r.wait_log("started", timeout=5)
                expected = {"uptime": "Error determining uptime!",
                            "run/norvale_boot_timestamp.txt":
                                "Warning: Unable to open boot timestamp file. Reboot detection compromised."}
                if name in expected:
                    r.wait_log(expected[name], timeout=5)
                r.wait_cycle_end()  # past start-up: its loop runs
                self.assertEqual(r.stop(), 0)

    def test_stalled_system_log_never_holds_back_an_sms(self):
        r = self.router(MOD_NORVALE_EVENT_CONFIG_CHANGED_SUBSCRIBE_SMS="1")
        r.log.stall()
        r.send_lines(*(["garbage"] * 40 + [now_line(CONFIG_LINE)]))
        r.wait_calls("sms", 1, timeout=8)
        r.log.resume()
        r.wait_for(lambda: not r.log.backlog(), what="the system log to catch up")
        r.send_lines("garbage")
        dropped = r.wait_for(lambda: [t for t in r.log.texts() if t.endswith(
            " log messages dropped while the system log was not reading")], what="dropped count")
        self.assertEqual(len(dropped), 1)
        count = int(dropped[0].split()[1])
        warnings = len(r.log.find("Warning: log entry with unexpected format"))
        self.assertEqual(warnings + count, 41)
        self.assertEqual(r.stop(), 0)

    def test_burst_of_messages_loses_nothing_while_the_log_keeps_up(self):
        r = self.router()
        r.send_lines(*(["garbage"] * 300))
        r.wait_log("Warning: log entry with unexpected format", count=300, timeout=10)
        self.assertFalse([t for t in r.log.texts() if "dropped" in t])
        self.assertEqual(r.stop(), 0)


if __name__ == "__main__":
    unittest.main()
