"""Alert storms: a flood of one kind of event neither buries the others nor
costs an SMS per event; the flood is counted and summarised."""
import os
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "simrouter"))

from router import Router, now_line

LOGIN = "sshd[4242]: pam_unix(sshd:auth): authentication failure; user=root"
CONFIG = "cfg: user 'admin' updated configuration of LAN"
SETTINGS = {
    "MOD_NORVALE_ENABLED": "1",
    "MOD_NORVALE_SMS_RECIPIENT_1": "+420111",
    "MOD_NORVALE_EVENT_LOGIN_FAILED_SUBSCRIBE_SMS": "1",
    "MOD_NORVALE_EVENT_CONFIG_CHANGED_SUBSCRIBE_SMS": "1",
    "MOD_NORVALE_EVENT_ETH0_DISCONNECTED_SUBSCRIBE_SMS": "1",
    "MOD_NORVALE_EVENT_TEST_EVENT_SUBSCRIBE_SMS": "1",
}


def sms_sent(r, first_line):
    """When each SMS whose first line starts with first_line reached the tool."""
    return [os.path.getmtime(r.path("standins/calls/%06d-sms" % n))
            for n, _, args in r.numbered_calls(tool="sms") if args[1].startswith(first_line)]


class Storms(unittest.TestCase):
    def router(self, **extra):
        r = Router(settings=dict(SETTINGS, **extra))
        self.addCleanup(r.close)
        return r

    def test_burst_of_failed_logins_does_not_hold_back_a_configuration_change(self):
        r = self.router()
        r.start()
        r.wait_log("started")
        r.send_lines(*[now_line(LOGIN)] * 1100)
        written = time.time()
        r.send_lines(now_line(CONFIG))
        r.wait_for(lambda: sms_sent(r, "Configuration changed"), timeout=10, what="the change's SMS")
        self.assertLess(sms_sent(r, "Configuration changed")[0] - written, 5)
        r.wait_log("Storm of LOGIN_FAILED events: more than 5 a minute, counting the rest")
        self.assertEqual(len(sms_sent(r, "Login failed\n")), 5)
        self.assertEqual(r.stop(), 0)
        self.assertLessEqual(len(r.calls("sms")), 20)
        r.wait_log("Warning: 1095 events counted in storms and carried by no summary")

    def test_slow_storm_lets_other_events_through_and_is_summarised_when_it_ends(self):
        r = self.router(MOD_NORVALE_SMS_RECIPIENT_2="+420222")
        r.set_tool_delay("sms", 0.5)
        r.add_cable("eth0")
        r.start()
        r.wait_log("started")
        began = time.time()
        others = None
        for i in range(150):  # five a second for 30 s
            r.send_lines(now_line(LOGIN))
            if i == 40:
                others = time.time()
                r.send_lines(now_line(CONFIG))
                r.pull_cable("eth0")
                r.request_test_event()
            time.sleep(max(0, began + (i + 1) * 0.2 - time.time()))
        for first_line in ("Configuration changed", "Ethernet cable 0", "Test event"):
            sent = sms_sent(r, first_line)
            self.assertEqual(len(sent), 2, first_line)
            self.assertLess(max(sent) - others, 10, first_line)
        summary = r.wait_log("Storm of LOGIN_FAILED events over: 145 counted since the last summary",
                             timeout=75)
        self.assertTrue(summary)
        r.wait_for(lambda: len(sms_sent(r, "Login failed (145 more)\n")) == 2, timeout=10,
                   what="the summary to both phones")
        self.assertEqual(len(sms_sent(r, "Login failed\n")), 10)  # five events, two phones
        self.assertEqual(r.stop(), 0)

    def test_limit_zero_notifies_every_event_as_before(self):
        r = self.router(MOD_NORVALE_STORM_LIMIT="0")
        r.start()
        r.wait_log("started")
        r.send_lines(*[now_line(LOGIN)] * 20)
        r.wait_calls("sms", 20)
        self.assertEqual(r.stop(), 0)
        self.assertEqual([t for t in r.log.texts() if t.startswith("Storm")], [])

    def test_flapping_cable_is_counted_as_a_storm(self):
        r = self.router()
        r.add_cable("eth0")
        r.start()
        r.wait_log("started")
        storm = "Storm of ETH0_DISCONNECTED events: more than 5 a minute, counting the rest"
        deadline = time.time() + 45
        while not r.log.find(storm) and time.time() < deadline:
            # Seen by a probe (about one a second), then lost for two probes.
            r.plug_cable("eth0")
            time.sleep(1.2)
            r.pull_cable("eth0")
            time.sleep(2.2)
        r.wait_log(storm)
        self.assertEqual(len(sms_sent(r, "Ethernet cable 0 disconnected\n")), 5)
        self.assertEqual(r.stop(), 0)


if __name__ == "__main__":
    unittest.main()
