"""The daemon as deployed: a real rsyslogd owns the router's /dev/log, starts
the daemon through omprog with deploy/rsyslog/norvale-eventd.conf.in and feeds
it every message; messages are logged with logger inside the router."""
import os
import re
import signal
import sys
import time
import unittest
from collections import Counter

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "simrouter"))

from router import LOG_NOTICE, SOURCE_DIR, Router

PENDING_LINES = 64  # lines the daemon keeps during one tool run (core/state.h)
SNIPPET = os.path.join(SOURCE_DIR, "deploy", "rsyslog", "norvale-eventd.conf.in")
INSTALLED_BINARY = "@NORVALE_INSTALLED_BINARY@"
LINE = re.compile(r"^(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d) (.*)$")

SETTINGS = {
    "MOD_NORVALE_ENABLED": "1",
    "MOD_NORVALE_DEVICE_NAME": "R1",
    "MOD_NORVALE_SMS_RECIPIENT_1": "+420111",
    "MOD_NORVALE_EVENT_CONFIG_CHANGED_SUBSCRIBE_SMS": "1",
    "MOD_NORVALE_EVENT_PASSWORD_CHANGED_SUBSCRIBE_SMS": "1",
    "MOD_NORVALE_EVENT_LOGIN_FAILED_SUBSCRIBE_SMS": "1",
}
# Every failed login notified on its own, however many come.
NO_STORMS = dict(SETTINGS, MOD_NORVALE_STORM_LIMIT="0")


def stamp(t):
    return time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(t))


class Rsyslog(unittest.TestCase):
    def deploy(self, settings=SETTINGS):
        """A router whose rsyslogd runs the snippet, started with the daemon
        in place of the installed one."""
        self.r = Router(settings=settings, syslog="rsyslog")
        self.addCleanup(self.r.close)
        with open(SNIPPET) as f:
            snippet = f.read()
        self.assertEqual(snippet.count(INSTALLED_BINARY), 1)
        snippet = snippet.replace(INSTALLED_BINARY, self.r.rsyslog_daemon_binary())
        # A copy of the daemon's input, made with the snippet's own template.
        self.feed = self.r.path("feed.txt")
        snippet += '\naction(type="omfile" file="%s" template="NorvaleEventdLine")\n' % self.feed
        self.r.start_rsyslog(snippet)
        return self.r

    def start(self, settings=SETTINGS):
        self.deploy(settings)
        self.daemon_pid = self.r.wait_daemon_started()
        return self.r

    def feed_lines(self):
        with open(self.feed) as f:
            return f.read().splitlines()

    def log_failed_logins(self, first, last):
        for n in range(first, last + 1):
            self.r.logger("sshd", "pam_unix(sshd:auth): authentication failure; user=u%d" % n,
                          with_pid=True)

    def login_stamps(self):
        """The time of every failed login in the daemon's input, as rsyslog
        copied it, each login once."""
        return Counter(m.group(1) for m in map(LINE.match, self.feed_lines())
                       if m and "pam_unix(sshd:auth): authentication failure; user=u" in m.group(2))

    def notified_stamps(self):
        """The time each "Login failed" SMS carries, as often as it was sent."""
        return Counter(args[1].rsplit("Timestamp: ", 1)[1] for _, args in self.r.calls("sms")
                       if args[1].startswith("Login failed\n"))

    def wait_all_notified(self, logins, timeout):
        """Waits for an SMS for each of the logins (a number) that rsyslog
        took in: as many "Login failed" messages of each second as logins
        stamped with it."""
        self.r.wait_for(lambda: sum(self.login_stamps().values()) == logins,
                        what="%d logins in rsyslog's copy" % logins)
        self.r.wait_for(lambda: not self.login_stamps() - self.notified_stamps(), timeout,
                        what="an SMS for each of %d logins" % logins)

    def test_logged_messages_reach_the_daemon_in_its_layout_and_are_notified(self):
        r = self.start()
        began = time.time()
        r.logger("kernel", "eth0: link up")
        # Two blanks before the text: the message itself begins with a blank,
        # and the template must not take it away.
        r.logger("cfg", "  user 'eve' updated configuration of WAN")
        # What the daemon itself logs never comes back to it as input.
        r.logger("norvale-eventd", "user 'admin' updated configuration of DMZ", with_pid=True)
        r.logger("cfg", "user 'admin' updated configuration of LAN")
        r.logger("login", "pam_unix(login:auth): authentication failure; user=admin", with_pid=True)
        r.logger("passwd", "pam_unix(passwd:chauthtok): password changed for admin", with_pid=True)
        r.wait_calls("sms", 3)
        ended = time.time()
        r.wait_cycle_end()  # the sends of these lines are over
        # rsyslog's copy of the daemon's input has the last line too.
        r.wait_for(lambda: [l for l in self.feed_lines() if "password changed for admin" in l],
                   what="the copy of the passwd line")

        feed = [LINE.match(l) for l in self.feed_lines()]
        self.assertTrue(all(feed), self.feed_lines())
        texts = [m.group(2) for m in feed]
        self.assertIn("kernel: eth0: link up", texts)
        self.assertIn("cfg:   user 'eve' updated configuration of WAN", texts)
        self.assertIn("cfg: user 'admin' updated configuration of LAN", texts)
        self.assertTrue([t for t in texts if re.fullmatch(
            r"norvale-eventd\[\d+\]: user 'admin' updated configuration of DMZ", t)], texts)
        login = [m for m in feed if re.fullmatch(
            r"login\[\d+\]: pam_unix\(login:auth\): authentication failure; user=admin", m.group(2))]
        passwd = [m for m in feed if re.fullmatch(
            r"passwd\[\d+\]: pam_unix\(passwd:chauthtok\): password changed for admin", m.group(2))]
        self.assertEqual((len(login), len(passwd)), (1, 1))
        config = [m for m in feed if m.group(2) == "cfg: user 'admin' updated configuration of LAN"][0]

        # The daemon read each line's time back: the SMS carries the very
        # time that rsyslog wrote at the start of the line.
        self.assertEqual(r.calls(), [
            ("sms", ["+420111", "Configuration changed\nDevice: R1\nTimestamp: " + config.group(1)]),
            ("sms", ["+420111", "Login failed\nDevice: R1\nTimestamp: " + login[0].group(1)]),
            ("sms", ["+420111", "Password changed\nDevice: R1\nTimestamp: " + passwd[0].group(1)]),
        ])
        for m in (config, login[0], passwd[0]):
            self.assertTrue(stamp(began) <= m.group(1) <= stamp(ended), m.group(0))
        # Every line had its tag, colon and blank: no complaints.
        daemon_texts = r.log.texts(ident="norvale-eventd")
        self.assertNotIn("Warning: log entry with unexpected format", daemon_texts)

    def test_stopping_rsyslog_stops_the_daemon_cleanly(self):
        r = self.start()
        r.logger("cfg", "user 'admin' updated configuration of LAN")
        r.wait_calls("sms", 1)
        before = len(r.log.texts(ident="norvale-eventd"))
        os.kill(r.rsyslog_pid, signal.SIGTERM)
        self.assertEqual(r.wait(timeout=15), 0)
        self.assertFalse(r.alive(self.daemon_pid))
        # rsyslog closes the daemon's input and sends it SIGTERM
        # (signalOnClose). Mostly the input ends about a second before the
        # signal: the daemon notes it once and carries on until the signal;
        # now and then the signal comes first. Either way the daemon stops in
        # the orderly way, as the signal asks.
        stop = [rec for rec in r.log.all() if rec["ident"] == "norvale-eventd"][before:]
        self.assertIn([rec["text"] for rec in stop],
                      (["Warning: nothing read from stdin!", "stopped, got_signal: 15"],
                       ["stopped, got_signal: 15"]))
        self.assertEqual({rec["pri"] for rec in stop}, {LOG_NOTICE})
        self.assertEqual({rec["pid"] for rec in stop}, {self.daemon_pid})
        # rsyslog reports a child that exits with a status other than 0, is
        # killed, or outlives its closeTimeout; it reported nothing.
        complaints = r.proc.stderr.read().decode(errors="replace")
        self.assertNotIn(str(self.daemon_pid), complaints)
        self.assertNotIn("omprog", complaints)

    def test_a_killed_daemon_loses_no_line_and_repeats_at_most_the_send_it_was_in(self):
        r = self.start(NO_STORMS)
        r.set_tool_delay("sms", 0.5)
        self.log_failed_logins(1, 5)
        r.wait_calls("sms", 1)
        # The daemon now sends five SMS of half a second each: these lines
        # come while it sends, and it is killed in the middle of a send.
        self.log_failed_logins(6, 10)
        os.kill(self.daemon_pid, signal.SIGKILL)
        # rsyslog notices the death and starts the daemon again a second
        # later; these lines come in meanwhile.
        self.log_failed_logins(11, 20)
        second = r.wait_daemon_started(count=2)
        self.assertNotEqual(second, self.daemon_pid)
        self.wait_all_notified(20, timeout=40)
        r.wait_cycles(1)  # what was still queued at the last SMS has gone out
        notified = self.notified_stamps()
        # Only the send cut off by the kill may be made again. A line the
        # killed daemon had kept but not yet answered comes again from
        # rsyslog: it is still one login.
        self.assertLessEqual(sum((notified - self.login_stamps()).values()), 1,
                             (self.login_stamps(), notified))

    def test_a_restart_of_rsyslog_loses_no_line_and_repeats_none(self):
        r = self.start(NO_STORMS)
        r.set_tool_exit("sms", ["hang", "0"])  # the first SMS hangs
        r.logger("cfg", "user 'admin' updated configuration of LAN")
        r.wait_calls("sms", 1)
        # Meanwhile the daemon keeps and answers PENDING_LINES lines; the
        # logins after them wait in rsyslog's queue.
        r.logger_burst("kernel", ["eth0: link flap %d" % n for n in range(PENDING_LINES)])
        r.logger_burst("sshd", ["pam_unix(sshd:auth): authentication failure; user=u%d" % n
                                for n in range(1, 11)], with_pid=True)
        r.wait_for(lambda: sum(self.login_stamps().values()) == 10, what="10 logins in rsyslog's copy")
        os.kill(r.rsyslog_pid, signal.SIGTERM)
        # rsyslog waits a second for an answer, then stops the daemon, whose
        # SMS then ends.
        r.wait_input_closed(self.daemon_pid)
        r.end_hanging_call("sms")
        self.assertEqual(r.wait(timeout=15), 0)
        # rsyslog kept the logins in its work directory ...
        self.assertIn("norvale-eventd.qi", os.listdir(r.path("rsyslog/work")))
        r.start_rsyslog()  # ... where the same configuration reads them back
        r.wait_daemon_started(count=2)
        self.wait_all_notified(10, timeout=20)
        r.wait_cycles(1)  # what was still queued at the last SMS has gone out
        # What the daemon kept at its stop and what rsyslog kept do not
        # overlap: each login is notified once.
        self.assertEqual(self.notified_stamps(), self.login_stamps())

    def test_a_disabled_daemon_is_started_only_once(self):
        r = self.deploy(dict(SETTINGS, MOD_NORVALE_ENABLED="0"))
        first = r.wait_log("module disabled, not starting")[0]["pid"]
        # A line every 50 ms for three seconds: rsyslog starts a daemon that
        # has ended again a second after the next line, so one that ended
        # would have been started two or three times more by then.
        began = time.time()
        for n in range(60):
            time.sleep(max(0.0, began + 0.05 * n - time.time()))
            r.logger("kernel", "eth0: link flap %d" % n)
        r.wait_for(lambda: len([l for l in self.feed_lines() if "eth0: link flap" in l]) == 60,
                   what="60 lines in rsyslog's copy")
        self.assertTrue(r.alive(first))
        self.assertEqual(len(r.log.find("module disabled, not starting")), 1)
        self.assertEqual({rec["pid"] for rec in r.log.all() if rec["ident"] == "norvale-eventd"}, {first})
        # Nothing about a program that ended and was started again.
        said = [t for t in r.log.texts(ident="rsyslogd") if "norvale-eventd" in t or str(first) in t]
        self.assertEqual(said, [])


if __name__ == "__main__":
    unittest.main()
