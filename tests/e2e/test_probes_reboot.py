"""Cable loss on real veth interfaces, the test-request file and reboot
detection from /proc/uptime, through the real daemon."""
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "simrouter"))

from router import LOG_NOTICE, Router

SUBSCRIBE_ALL_SMS = {"MOD_NORVALE_EVENT_%s_SUBSCRIBE_SMS" % n: "1" for n in (
    "ETH0_DISCONNECTED", "ETH1_DISCONNECTED", "ETH2_DISCONNECTED", "SYSTEM_REBOOT", "TEST_EVENT")}


def settings(**extra):
    s = {"MOD_NORVALE_ENABLED": "1", "MOD_NORVALE_DEVICE_NAME": "R1",
         "MOD_NORVALE_SMS_RECIPIENT_1": "+420111"}
    s.update(SUBSCRIBE_ALL_SMS)
    s.update(extra)
    return s


def events(r):
    return [c[1][1].split("\n")[0] for c in r.calls("sms")]


class Probes(unittest.TestCase):
    def router(self, **kw):
        r = Router(settings=settings(), uptime="5000.00 100.00\n", **kw)
        self.addCleanup(r.close)
        return r

    def test_each_pulled_cable_raises_exactly_one_event_per_loss(self):
        r = self.router()
        for n in range(3):
            r.add_cable("eth%d" % n)
        r.start()
        r.wait_log("started")
        r.wait_cycles(1)  # carrier seen on every port
        r.pull_cable("eth1")
        r.wait_calls("sms", 1)
        # Still no carrier: nothing more from the next two probes and the
        # sends after each.
        r.wait_cycles(2)
        self.assertEqual(events(r), ["Ethernet cable 1 disconnected"])
        r.plug_cable("eth1")
        r.wait_cycles(1)  # carrier seen again
        r.pull_cable("eth1")
        r.pull_cable("eth2")
        r.wait_calls("sms", 3)
        r.wait_cycles(1)  # the next cycle's probe and sends bring nothing more
        self.assertEqual(events(r), ["Ethernet cable 1 disconnected", "Ethernet cable 1 disconnected",
                                     "Ethernet cable 2 disconnected"])

    def test_port_without_carrier_from_the_start_never_raises(self):
        r = self.router()
        r.add_cable("eth0")
        r.pull_cable("eth0")
        r.start()
        r.wait_log("started")
        # The second probe without carrier would raise the event, the sends
        # of the cycle after it deliver it.
        r.wait_cycles(3)
        self.assertEqual(r.calls(), [])

    def test_request_file_raises_one_test_event_and_disappears(self):
        r = self.router()
        r.start()
        r.wait_log("started")
        request = os.path.join(r.root, "run", "norvale_test_ev_request.txt")
        with open(request, "w") as f:
            f.write("please\n")
        r.wait_calls("sms", 1)
        self.assertFalse(os.path.exists(request))
        r.wait_cycles(1)  # the next cycle's probe and sends bring nothing more
        self.assertEqual(events(r), ["Test event triggered"])


class Reboot(unittest.TestCase):
    def run_once(self, r):
        runs = len(r.log.find("started"))
        r.start()
        r.wait_log("started", count=runs + 1)
        r.wait_cycles(1)  # the first cycle's sends, where a reboot event goes, are over
        self.assertEqual(r.stop(), 0)

    def test_start_soon_after_boot_reports_the_boot_once(self):
        r = Router(settings=settings(), uptime="10.50 3.00\n")
        self.addCleanup(r.close)
        self.run_once(r)
        self.assertEqual(events(r), ["System rebooted"])
        with open(os.path.join(r.root, "run", "norvale_boot_timestamp.txt")) as f:
            written = f.read()
        self.assertRegex(written, r"^\d+$")
        # A restart within the same boot: already reported.
        self.run_once(r)
        self.assertEqual(events(r), ["System rebooted"])
        self.assertEqual(len(r.log.find("Reboot already detected")), 1)

    def test_start_two_minutes_after_boot_reports_nothing(self):
        r = Router(settings=settings(), uptime="120.00 3.00\n")
        self.addCleanup(r.close)
        self.run_once(r)
        self.assertEqual(r.calls(), [])
        rec = r.log.find("Started too long (120 seconds) after reboot to trigger reboot event")
        self.assertEqual([x["pri"] for x in rec], [LOG_NOTICE])
        self.assertFalse(os.path.exists(os.path.join(r.root, "run", "norvale_boot_timestamp.txt")))


if __name__ == "__main__":
    unittest.main()
