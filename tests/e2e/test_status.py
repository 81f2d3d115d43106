"""norvale-eventd --status on the simulated router: what the running daemon
keeps in /run/norvale-eventd/status, read by the real command line inside
the router; the exit status of an LSB status command; SIGUSR1's summary.
The text at its limits (long reasons, the largest counts, JSON escaping) is
proven by core/status_command_test.cc."""
import json
import os
import signal
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "simrouter"))

from router import Router, now_line

CONFIG = "cfg: user 'admin' updated configuration of LAN"
LOGIN = "sshd[9]: pam_unix(sshd:auth): authentication failure; user=root"
NOISE = "dnsmasq[77]: query[A] host.example.com from 10.0.0.2"
SETTINGS = {
    "MOD_NORVALE_ENABLED": "1",
    "MOD_NORVALE_SMS_RECIPIENT_1": "+420111",
    "MOD_NORVALE_EVENT_CONFIG_CHANGED_SUBSCRIBE_SMS": "1",
    "MOD_NORVALE_EVENT_LOGIN_FAILED_SUBSCRIBE_SMS": "1",
}
SMS_FAILURE = "Tool sms failed: exit status 1: sms: stand-in told to fail with 1"


def status(r, *args):
    """Runs norvale-eventd --status ARGS in the router: (exit status, output).
    Once the daemon has ended, its router's namespace may be gone with it:
    the command is then the router's program, on the same /run."""
    if r.proc.poll() is None:
        done = r.inside(r.daemon, "--status", *args, check=False)
        return done.returncode, done.stdout
    r.start_program([r.daemon, "--status"] + list(args))
    out, _ = r.proc.communicate(timeout=10)
    return r.proc.returncode, out.decode()


def wait_status(r, wanted, what, *args):
    """Waits until wanted(exit status, output) holds for the status; both."""
    last = []

    def passes():
        last[:] = status(r, *args)
        return wanted(*last)
    r.wait_for(passes, what=what)
    return tuple(last)


class Status(unittest.TestCase):
    def router(self, **extra):
        r = Router(settings=dict(SETTINGS, **extra))
        self.addCleanup(r.close)
        return r

    def started(self, r):
        r.start()
        r.wait_log("started")
        wait_status(r, lambda code, _: code != 3, "the first status")
        return r

    def test_healthy_daemon_is_running_with_exit_status_0(self):
        r = self.started(self.router())
        r.send_lines(now_line(NOISE), now_line(CONFIG))
        r.wait_calls("sms", 1)
        code, out = wait_status(r, lambda _, out: "SMS: working" in out, "the SMS counted")
        self.assertEqual(code, 0, out)
        lines = out.splitlines()
        self.assertRegex(lines[0], r"^norvale-eventd is running: pid %d, started \d{4}-\d\d-\d\d "
                         r"\d\d:\d\d:\d\d$" % r.daemon_pid)
        self.assertEqual(lines[1], "Settings: /opt/norvale/etc/settings: the check finds no problem")
        self.assertIn("  SNMP: not tried yet; 0 sent, 0 failed, 0 waiting", lines)
        self.assertRegex(out, r"\n  SMS: working; 1 sent, 0 failed, 0 waiting\n    last sent at [\d: -]{19}\n")
        self.assertIn("Events raised: CONFIG_CHANGED 1", lines)
        self.assertIn("Log lines: 2 read, 0 cut for length, 0 dropped as too old", lines)
        self.assertEqual(r.stop(), 0)

    def test_failing_sms_tool_gives_exit_status_1_and_its_reason(self):
        r = self.router()
        r.set_tool_exit("sms", [1])
        self.started(r)
        r.send_lines(now_line(CONFIG))
        r.wait_calls("sms", 1)
        code, out = wait_status(r, lambda code, _: code == 1, "exit status 1")
        self.assertRegex(out, r"\n  SMS: failing; 0 sent, 1 failed, 1 waiting, next retry at [\d: -]{19}\n"
                         r"    last failure at [\d: -]{19} for \+420111:\n      %s\n" % SMS_FAILURE)
        self.assertEqual(r.stop(), 0)

    def test_json_carries_the_same_figures(self):
        r = self.started(self.router(MOD_NORVALE_STORM_LIMIT="1"))
        r.send_lines(*[now_line(LOGIN)] * 3)
        r.wait_calls("sms", 1)
        _, text = wait_status(r, lambda _, out: '"storms":[]' not in out and '"sent":1' in out,
                              "the storm and the SMS in the status", "--json")
        got = json.loads(text)
        code, out = status(r)
        self.assertEqual((got["state"], got["running"], got["exit_status"], got["pid"]),
                         ("running", True, 0, r.daemon_pid))
        self.assertEqual([c["name"] for c in got["channels"]], ["SNMP", "e-mail", "SMS"])
        sms = got["channels"][2]
        self.assertEqual((sms["sent"], sms["failed"], sms["waiting"], sms["failing"]), (1, 0, 0, False))
        self.assertEqual(got["events_raised"]["LOGIN_FAILED"], 3)
        self.assertEqual(sum(got["events_raised"].values()), 3)
        storm = got["storms"]
        self.assertEqual([(s["kind"], s["count"]) for s in storm], [("LOGIN_FAILED", 2)])
        self.assertEqual(got["log_lines_read"], 3)
        # The text for a person says the same.
        self.assertEqual(code, got["exit_status"])
        for line in ("  SMS: working; 1 sent, 0 failed, 0 waiting",
                     "    last sent at %s" % sms["last_success_text"],
                     "Events raised: LOGIN_FAILED 3",
                     "Storms being counted: LOGIN_FAILED, 2 counted since %s" % storm[0]["since_text"],
                     "Log lines: 3 read, 0 cut for length, 0 dropped as too old"):
            self.assertIn(line, out.splitlines())
        self.assertEqual(r.stop(), 0)

    def test_after_a_stop_or_a_kill_the_daemon_is_not_running(self):
        cases = [(signal.SIGTERM, r"norvale-eventd is not running: it stopped at [\d: -]{19} \(pid %d, "),
                 (signal.SIGKILL, r"norvale-eventd is not running: pid %d, started [\d: -]{19}, has "
                                  r"ended without a stop \(its status is stale\)\n")]
        r = self.router()
        for sig, said in cases:
            with self.subTest(sig=sig):
                self.started(r)
                pid = r.daemon_pid
                r.send_signal(sig)
                r.wait()
                code, out = status(r)
                self.assertEqual(code, 3, out)
                self.assertRegex(out, "^" + said % pid)
                self.assertIn("Its last figures:\n", out)

    def test_sigusr1_logs_a_summary_and_writes_the_file_at_once(self):
        r = self.router()
        r.set_tool_exit("sms", [1])
        self.started(r)
        r.send_lines(now_line(CONFIG))
        wait_status(r, lambda code, _: code == 1, "the failure in the status")
        # Lines that raise nothing are counted, but are no reason to write.
        r.send_lines(*[now_line(NOISE)] * 3)
        r.wait_cycles(1)
        self.assertIn("Log lines: 1 read,", status(r)[1])
        r.send_signal(signal.SIGUSR1)
        r.wait_log("Status: sent/failed/waiting SNMP 0/0/0, e-mail 0/0/0, SMS 0/1/1; 1 events raised; "
                   "4 log lines read, 0 cut, 0 too old; 0 own messages dropped")
        r.wait_log("Status: SMS failing: " + SMS_FAILURE)
        self.assertIn("Log lines: 4 read,", status(r)[1])
        self.assertEqual(r.log.find("Ignoring signal %d: settings are read only at start, restart to "
                                    "apply them" % signal.SIGUSR1), [])
        self.assertEqual(r.stop(), 0)


if __name__ == "__main__":
    unittest.main()
