"""From a system-log line to delivered e-mail and SMS, through the real
daemon, the real shell and the stand-in tools."""
import os
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "simrouter"))

from router import LOG_ERR, LOG_NOTICE, Router, now_line

CONFIG_LINE = "cfg: user 'admin' updated configuration of LAN"


def settings(**extra):
    s = {
        "MOD_NORVALE_ENABLED": "1",
        "MOD_NORVALE_DEVICE_NAME": "R1",
        "MOD_NORVALE_SMS_RECIPIENT_1": "+420111",
        "MOD_NORVALE_SMS_RECIPIENT_3": "+420333",
        "MOD_NORVALE_MAIL_GROUP_1_ADDR_1": "ops@example.org",
        "MOD_NORVALE_MAIL_GROUP_1_ADDR_4": "noc@example.org",
        "MOD_NORVALE_MAIL_GROUP_2_ADDR_1": "boss@example.org",
    }
    s.update(extra)
    return s


def mail_args(address, code, name, ts, subject_device="R1", device="R1", location="N/A", contact="N/A"):
    return ["-t", address, "-s", "[Event %d on %s] %s" % (code, subject_device, name), "-m",
            "Device: %s\nLocation: %s\nAdmin contact: %s\nTimestamp: %s\n\n"
            "The following event was detected: %s (event code: %d)" % (device, location, contact, ts, name, code)]


class EventPath(unittest.TestCase):
    def router(self, **extra):
        r = Router(settings=settings(**extra))
        self.addCleanup(r.close)
        r.start()
        r.wait_log("started")
        return r

    def test_config_change_reaches_two_sms_recipients_and_a_mail_group(self):
        r = self.router(MOD_NORVALE_EVENT_CONFIG_CHANGED_SUBSCRIBE_SMS="1",
                        MOD_NORVALE_EVENT_CONFIG_CHANGED_SUBSCRIBE_MAIL_GROUP_1="1")
        line = now_line(CONFIG_LINE)
        ts = line[:19]
        r.send_lines(line)
        r.wait_calls("sms", 2)
        self.assertEqual(r.calls(), [
            ("email", mail_args("ops@example.org", 1, "Configuration changed", ts)),
            ("email", mail_args("noc@example.org", 1, "Configuration changed", ts)),
            ("sms", ["+420111", "Configuration changed\nDevice: R1\nTimestamp: " + ts]),
            ("sms", ["+420333", "Configuration changed\nDevice: R1\nTimestamp: " + ts]),
        ])
        self.assertEqual(r.stop(), 0)

    def test_pam_lines_raise_password_changed_and_login_failed(self):
        r = self.router(MOD_NORVALE_EVENT_PASSWORD_CHANGED_SUBSCRIBE_MAIL_GROUP_2="1",
                        MOD_NORVALE_EVENT_LOGIN_FAILED_SUBSCRIBE_MAIL_GROUP_2="1")
        a = now_line("passwd[901]: pam_unix(passwd:chauthtok): password changed for admin")
        b = now_line("login[812]: pam_unix(login:auth): authentication failure; user=admin")
        r.send_lines(a, b)
        r.wait_calls("email", 2)
        self.assertEqual(r.calls(), [
            ("email", mail_args("boss@example.org", 2, "Password changed", a[:19])),
            ("email", mail_args("boss@example.org", 3, "Login failed", b[:19])),
        ])

    def test_old_and_malformed_lines_raise_nothing(self):
        r = self.router(MOD_NORVALE_EVENT_CONFIG_CHANGED_SUBSCRIBE_SMS="1",
                        MOD_NORVALE_EVENT_LOGIN_FAILED_SUBSCRIBE_SMS="1")
        r.send_lines(now_line(CONFIG_LINE, offset=-3600),
                     now_line("login[812]: pam_unix(login:auth) authentication failure"),
                     now_line("no colon here at all"),
                     now_line("last message repeated 3 times"),
                     '$(touch /run/pwned)" cfg: ' + "user 'admin' updated configuration of LAN")
        r.wait_log("Warning: log entry with unexpected format")
        r.wait_log("Warning: pam_unix log entry with unexpected format")
        fresh = now_line(CONFIG_LINE)
        r.send_lines(fresh)
        r.wait_calls("sms", 2)
        # Events are sent in the order of their lines, so anything the earlier
        # lines had raised would have come before these; a repeat, after them
        # in the same sends or in the next cycle's.
        r.wait_cycles(1)
        self.assertEqual([c[1][1][-19:] for c in r.calls("sms")], [fresh[:19]] * 2)
        self.assertEqual(len(r.log.find("Warning: log entry with unexpected format")), 1)
        self.assertFalse(os.path.exists(os.path.join(r.root, "run", "pwned")))

    def test_failed_mail_group_is_retried_alone_in_later_cycles(self):
        r = self.router(MOD_NORVALE_EVENT_CONFIG_CHANGED_SUBSCRIBE_MAIL_GROUP_1="1",
                        MOD_NORVALE_EVENT_CONFIG_CHANGED_SUBSCRIBE_MAIL_GROUP_2="1",
                        MOD_NORVALE_MAIL_GROUP_1_ADDR_4="")
        # group 1 is served, group 2 fails twice, then the mail goes through.
        r.set_tool_exit("email", [0, 1, 1, 0])
        line = now_line(CONFIG_LINE)
        r.send_lines(line)
        calls = r.wait_calls("email", 4, timeout=15)
        self.assertEqual([c[1][1] for c in calls],
                         ["ops@example.org", "boss@example.org", "boss@example.org", "boss@example.org"])
        self.assertEqual(calls[3][1], mail_args("boss@example.org", 1, "Configuration changed", line[:19]))
        r.wait_cycles(1)  # the retry pass of the next cycle has nothing more
        self.assertEqual(len(r.calls("email")), 4)

    def test_failed_sms_is_logged_and_queued_for_a_later_retry(self):
        r = self.router(MOD_NORVALE_EVENT_CONFIG_CHANGED_SUBSCRIBE_SMS="1",
                        MOD_NORVALE_SMS_RECIPIENT_3="")
        r.set_tool_exit("sms", [1, 0])
        r.send_lines(now_line(CONFIG_LINE))
        rec = r.wait_log("Error: failed to send SMS for +420111, enqueing...")[0]
        self.assertEqual(rec["pri"], LOG_ERR)
        r.wait_cycles(2)  # the retry waits two minutes, not a cycle
        self.assertEqual(len(r.calls("sms")), 1)
        # A stop takes the waiting retry with it, and says so.
        self.assertEqual(r.stop(), 0)
        r.wait_log("Warning: 1 notifications left undelivered: 0 events waiting, "
                   "0 SNMP and 0 e-mail reserve records, 1 SMS retries, kept for the next start")

    def test_values_reach_the_tools_exactly_and_never_run_as_shell_code(self):
        hostile = "R1 $(touch /run/a) `touch /run/b` \"q\" \\ 'x'"
        recipient = "+420'; touch /run/c; '"
        r = self.router(MOD_NORVALE_EVENT_TEST_EVENT_SUBSCRIBE_SMS="1",
                        MOD_NORVALE_EVENT_CONFIG_CHANGED_SUBSCRIBE_SMS="1",
                        MOD_NORVALE_EVENT_CONFIG_CHANGED_SUBSCRIBE_MAIL_GROUP_1="1",
                        MOD_NORVALE_DEVICE_NAME='"%s"' % hostile,  # quoted, as the router writes it
                        MOD_NORVALE_SMS_RECIPIENT_1=recipient,
                        MOD_NORVALE_SMS_RECIPIENT_3="-oops",
                        MOD_NORVALE_MAIL_GROUP_1_ADDR_1="a b@example.org",
                        MOD_NORVALE_MAIL_GROUP_1_ADDR_4="")
        line = now_line(CONFIG_LINE)
        r.send_lines(line)
        r.wait_calls("sms", 1)
        r.wait_cycle_end()  # the sends of this event are over
        self.assertEqual(r.calls(), [
            ("email", mail_args("a b@example.org", 1, "Configuration changed", line[:19],
                                subject_device=hostile, device=hostile)),
            ("sms", [recipient, "Configuration changed\nDevice: %s\nTimestamp: %s" % (hostile, line[:19])]),
        ])
        for name in "abc":
            self.assertFalse(os.path.exists(os.path.join(r.root, "run", name)))
        self.assertEqual(len(r.log.find("Error: SMS recipient 3 begins with '-', not sending")), 1)

    def test_burst_of_lines_is_handled_in_order(self):
        # Without the storm limit, which would count all but five of them.
        r = self.router(MOD_NORVALE_EVENT_CONFIG_CHANGED_SUBSCRIBE_MAIL_GROUP_2="1",
                        MOD_NORVALE_STORM_LIMIT="0")
        lines = [now_line("cfg: user 'u%d' updated configuration of LAN" % i) for i in range(40)]
        r.send_lines(*lines)
        r.wait_calls("email", 40, timeout=20)

    def test_end_of_input_warns_once_and_keeps_running_until_a_signal(self):
        r = self.router()
        r.close_input()
        r.wait_log("Warning: nothing read from stdin!")
        r.wait_cycles(2)  # two more seconds of reading, from an input that has ended
        self.assertEqual(len(r.log.find("Warning: nothing read from stdin!")), 1)
        self.assertEqual(r.log.find("Warning: nothing read from stdin!")[0]["pri"], LOG_NOTICE)
        began = time.time()
        self.assertEqual(r.stop(), 0)
        # Without input the daemon is in its probe cycle (about a second),
        # which the signal ends; generous for a sanitizer build on a busy host.
        self.assertLess(time.time() - began, 3.0)
        self.assertEqual(r.log.texts()[-1], "stopped, got_signal: 15")

    def test_sigterm_during_the_wait_stops_at_once(self):
        r = self.router()
        # Its cycle has just begun, with nothing to send: it waits for log lines.
        r.wait_cycle_end()
        began = time.time()
        self.assertEqual(r.stop(), 0)
        self.assertLess(time.time() - began, 0.5)
        self.assertEqual(r.log.texts()[-1], "stopped, got_signal: 15")
        self.assertNotIn("error on poll, stopping", r.log.texts())


if __name__ == "__main__":
    unittest.main()
