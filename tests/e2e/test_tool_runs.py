"""Tools that hang or die cannot hold the daemon: the stop deadline, no tool
left behind, and a start with odd inherited signals. The time limit of a
run is proven with short limits by core/command_test.cc, what the loop does
with an SMS that failed by core/main_loop_test.cc and, on the real daemon,
by tests/e2e/test_event_path.py."""
import os
import re
import signal
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "simrouter"))

from router import DAEMON, Router, now_line

CONFIG_LINE = "cfg: user 'admin' updated configuration of LAN"
SETTINGS = {
    "MOD_NORVALE_ENABLED": "1",
    "MOD_NORVALE_SMS_RECIPIENT_1": "+420111",
    "MOD_NORVALE_EVENT_CONFIG_CHANGED_SUBSCRIBE_SMS": "1",
}
# Starts the daemon the way a careless init script might: SIGCHLD ignored and
# SIGTERM blocked, both passed on through exec.
ODD_START = ("import os, signal, sys\n"
             "signal.signal(signal.SIGCHLD, signal.SIG_IGN)\n"
             "signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGTERM})\n"
             "os.execv(sys.argv[1], sys.argv[1:])\n")


class ToolRuns(unittest.TestCase):
    def router(self, hang_sms=True):
        r = Router(settings=SETTINGS)
        self.addCleanup(r.close)
        if hang_sms:
            r.set_tool_exit("sms", ["hang", 0])
        return r

    def hanging_sms(self, r):
        """Sends an SMS event and waits until its tool hangs; the tool's pid."""
        r.send_lines(now_line(CONFIG_LINE))
        pid_file = r.path("standins/sms.pid")
        r.wait_for(lambda: os.path.exists(pid_file), what="the hanging sms")
        with open(pid_file) as f:
            return int(f.read())

    def test_sigterm_with_a_hanging_tool_stops_the_daemon_at_the_deadline(self):
        r = self.router()
        r.start()
        r.wait_log("started")
        tool = self.hanging_sms(r)
        began = time.time()
        # Well below the 30 s limit: the stop deadline of 3 s ends the run.
        self.assertEqual(r.stop(signal.SIGTERM, timeout=10), 0)
        self.assertGreaterEqual(time.time() - began, 2.5)
        texts = r.log.texts()
        self.assertEqual(len([t for t in texts if re.fullmatch(
            r"Tool sms failed: stopped after \d+ s, the daemon is stopping", t)]), 1)
        self.assertEqual(texts[-1], "stopped, got_signal: 15")
        self.assertFalse(r.alive(tool))

    def test_sigkill_of_the_daemon_leaves_no_tool_behind(self):
        r = self.router()
        r.start()
        r.wait_log("started")
        tool = self.hanging_sms(r)
        r.send_signal(signal.SIGKILL)
        r.wait()
        r.wait_for(lambda: not r.alive(tool), timeout=5, what="the tool to die with the daemon")

    def test_start_with_sigchld_ignored_and_sigterm_blocked_behaves_normally(self):
        r = self.router(hang_sms=False)
        r.daemon_pid = r.start_program(["/usr/bin/python3", "-c", ODD_START, DAEMON])
        r.wait_log("started")
        r.send_lines(now_line(CONFIG_LINE))
        r.wait_calls("sms", 1)
        r.wait_cycle_end()  # a run taken for failed would be logged by now
        self.assertEqual(len(r.calls("sms")), 1)
        self.assertEqual(r.stop(signal.SIGTERM), 0)
        texts = r.log.texts()
        self.assertEqual([t for t in texts if t.startswith(("Tool ", "Error", "Warning"))], [])
        self.assertEqual(texts[-1], "stopped, got_signal: 15")


if __name__ == "__main__":
    unittest.main()
