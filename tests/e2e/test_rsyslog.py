"""The daemon as deployed: a real rsyslogd owns the router's /dev/log, starts
the daemon through omprog with deploy/rsyslog/norvale-eventd.conf.in and feeds
it every message; messages are logged with logger inside the router."""
import os
import re
import signal
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "simrouter"))

from router import LOG_NOTICE, SOURCE_DIR, Router

SNIPPET = os.path.join(SOURCE_DIR, "deploy", "rsyslog", "norvale-eventd.conf.in")
INSTALLED_BINARY = 'binary="@NORVALE_INSTALLED_BINARY@"'
LINE = re.compile(r"^(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d) (.*)$")

SETTINGS = {
    "MOD_NORVALE_ENABLED": "1",
    "MOD_NORVALE_DEVICE_NAME": "R1",
    "MOD_NORVALE_SMS_RECIPIENT_1": "+420111",
    "MOD_NORVALE_EVENT_CONFIG_CHANGED_SUBSCRIBE_SMS": "1",
    "MOD_NORVALE_EVENT_PASSWORD_CHANGED_SUBSCRIBE_SMS": "1",
    "MOD_NORVALE_EVENT_LOGIN_FAILED_SUBSCRIBE_SMS": "1",
}


def stamp(t):
    return time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(t))


class Rsyslog(unittest.TestCase):
    def setUp(self):
        self.r = Router(settings=SETTINGS, syslog="rsyslog")
        self.addCleanup(self.r.close)
        with open(SNIPPET) as f:
            snippet = f.read()
        self.assertEqual(snippet.count(INSTALLED_BINARY), 1)
        snippet = snippet.replace(INSTALLED_BINARY, 'binary="%s"' % self.r.rsyslog_daemon_binary())
        # A copy of the daemon's input, made with the snippet's own template.
        self.feed = self.r.path("feed.txt")
        snippet += '\naction(type="omfile" file="%s" template="NorvaleEventdLine")\n' % self.feed
        self.r.start_rsyslog(snippet)
        self.daemon_pid = self.r.wait_daemon_started()

    def feed_lines(self):
        with open(self.feed) as f:
            return f.read().splitlines()

    def test_logged_messages_reach_the_daemon_in_its_layout_and_are_notified(self):
        r = self.r
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
        r = self.r
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


if __name__ == "__main__":
    unittest.main()
