"""What the daemon owes survives a stop, a kill and a restart: it is kept in
/run/norvale-eventd and delivered once at the next start; lines logged while
the daemon was down are handled once; in confirmation mode every line is
answered, even while a tool hangs."""
import os
import random
import select
import signal
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "simrouter"))

from router import LOG_ERR, Router, now_line

CONFIG = "cfg: user 'admin' updated configuration of LAN"
BASE = {
    "MOD_NORVALE_ENABLED": "1",
    "MOD_NORVALE_STORM_LIMIT": "0",
    "MOD_NORVALE_SMS_RECIPIENT_1": "+420111",
    "MOD_NORVALE_EVENT_CONFIG_CHANGED_SUBSCRIBE_SMS": "1",
}


def stamped(offset):
    """A configuration-change line stamped offset seconds from now; its
    time tells its SMS apart."""
    return now_line(CONFIG, offset)


def sms_stamps(r, after=0):
    return [args[1].split("Timestamp: ")[1] for _, _, args in r.numbered_calls(after, "sms")]


class Confirmations:
    """The system logger's side of confirmation mode: one line at a time,
    the next only once the last was answered OK."""

    def __init__(self, r):
        self.r = r
        self.buffer = b""

    def answer(self, timeout):
        """True once an OK came, False if none came in time or the daemon died."""
        deadline = time.time() + timeout
        out = self.r.proc.stdout.fileno()
        while b"\n" not in self.buffer:
            left = deadline - time.time()
            if left <= 0 or not select.select([out], [], [], left)[0]:
                return False
            data = os.read(out, 256)
            if not data:
                return False
            self.buffer += data
        line, self.buffer = self.buffer.split(b"\n", 1)
        if line != b"OK":
            raise AssertionError("answer %r" % line)
        return True

    def start(self):
        self.buffer = b""
        self.r.start("--confirm")
        if not self.answer(10):
            raise AssertionError("no OK at start")

    def send(self, line, timeout=3):
        try:
            self.r.send_lines(line)
        except BrokenPipeError:
            return False
        return self.answer(timeout)


class KeptState(unittest.TestCase):
    def router(self, **extra):
        r = Router(settings=dict(BASE, **extra))
        self.addCleanup(r.close)
        return r

    def test_what_a_stop_leaves_is_delivered_once_by_the_next_start(self):
        r = self.router(MOD_NORVALE_EVENT_CONFIG_CHANGED_SUBSCRIBE_TRAP="1",
                        MOD_NORVALE_EVENT_CONFIG_CHANGED_SUBSCRIBE_MAIL_GROUP_1="1",
                        MOD_NORVALE_MAIL_GROUP_1_ADDR_1="ops@example.org",
                        MOD_NORVALE_SNMP_VERSION="2", MOD_NORVALE_SNMP_MANAGER_IP_ADDR="192.0.2.1",
                        MOD_NORVALE_SNMP_MANAGER_PORT="162")
        for tool in ("email", "net-snmptrap"):  # the data link is down
            r.set_tool_exit(tool, [1])
        r.start()
        r.wait_log("started")
        r.send_lines(*[stamped(i) for i in range(6)])
        r.wait_calls("sms", 6)
        r.wait_cycle_end()
        self.assertEqual(r.stop(), 0)
        r.wait_log("Warning: 12 notifications left undelivered: 0 events waiting, 6 SNMP and 6 "
                   "e-mail reserve records, 0 SMS retries, kept for the next start")
        mended = max(n for n, _, _ in r.numbered_calls())
        for tool in ("email", "net-snmptrap"):
            r.set_tool_exit(tool, [0])
        r.start()
        r.wait_log("Took back 12 notifications kept by the previous run")
        r.wait_for(lambda: len(r.numbered_calls(mended)) >= 12, what="12 sends")
        r.wait_cycles(1)
        sent = r.numbered_calls(mended)
        self.assertEqual(sorted(t for _, t, _ in sent), ["email"] * 6 + ["net-snmptrap"] * 6)
        mails = [args[5].split("Timestamp: ")[1].split("\n")[0] for _, t, args in sent if t == "email"]
        self.assertEqual(len(set(mails)), 6)
        self.assertEqual(r.stop(), 0)

    def test_kills_at_ten_moments_of_a_burst_lose_nothing_and_repeat_little(self):
        r = self.router()
        r.set_tool_delay("sms", 0.3)
        logger = Confirmations(r)
        logger.start()
        lines = [stamped(i) for i in range(20)]
        random.seed(17)
        kills = 0
        at = 0
        while at < len(lines):
            if at % 2 == 1 and kills < 10:
                r.send_lines(lines[at])
                time.sleep(random.uniform(0, 0.6))  # a moment of the burst, not a wait for it
                r.send_signal(signal.SIGKILL)
                r.wait()
                kills += 1
                # An answer the daemon wrote before it died is still read.
                answered = logger.answer(1)
                logger.start()
                if answered:
                    at += 1
                    continue
            # An unanswered line is the logger's to send again.
            if logger.send(lines[at]):
                at += 1
            else:
                r.wait()
                logger.start()
        self.assertEqual(kills, 10)
        want = sorted(set(l[:19] for l in lines))
        r.wait_for(lambda: sorted(set(sms_stamps(r))) == want, timeout=30, what="every line's SMS")
        r.wait_cycles(1)
        sent = sms_stamps(r)
        self.assertLessEqual(len(sent) - len(want), kills)
        self.assertEqual(r.stop(), 0)

    def test_lines_logged_while_the_daemon_was_down_are_handled_once(self):
        r = self.router()
        r.start()
        r.wait_log("started")
        handled = stamped(0)
        r.send_lines(handled)
        r.wait_calls("sms", 1)
        r.wait_cycle_end()
        self.assertEqual(r.stop(), 0)
        down = stamped(0)[:20] + "cfg: user 'eve' updated configuration of WAN"
        too_old = stamped(-30)
        # The next start must come a second after these stamps, so that only
        # the rule for lines logged while the daemon was down can take them.
        time.sleep(1.1)
        r.start()
        r.wait_log("started", count=2)
        r.send_lines(handled, down, too_old)
        r.wait_calls("sms", 2)
        r.wait_cycles(1)
        self.assertEqual(len(r.calls("sms")), 2)
        self.assertEqual(r.stop(), 0)

    def test_a_daemon_killed_while_idle_still_lets_the_lines_logged_while_down_count(self):
        r = self.router()
        r.start()
        r.wait_log("started")
        r.send_lines(now_line("kernel: eth0: link up"))  # read, raises nothing
        r.wait_cycle_end()
        r.send_signal(signal.SIGKILL)
        r.wait()
        down = stamped(0)
        # The next start must come a second after this stamp (see above).
        time.sleep(1.1)
        r.start()
        r.wait_log("started", count=2)
        r.send_lines(down)
        r.wait_calls("sms", 1)
        self.assertEqual(r.stop(), 0)

    def test_confirmations_go_on_while_a_tool_hangs_and_the_lines_are_kept(self):
        r = self.router()
        r.set_tool_exit("sms", ["hang"])
        logger = Confirmations(r)
        logger.start()
        lines = [stamped(i) for i in range(4)]
        self.assertTrue(logger.send(lines[0]))
        r.wait_for(lambda: os.path.exists(r.path("standins/sms.pid")), what="the hanging sms")
        for line in lines[1:]:
            began = time.time()
            self.assertTrue(logger.send(line, timeout=2), line)
            self.assertLess(time.time() - began, 2)
        self.assertEqual(r.stop(), 0)
        # The hanging SMS is cut off by the stop and waits as a retry; the
        # three lines read meanwhile were kept unhandled.
        r.wait_log("Warning: 1 notifications left undelivered: 0 events waiting, 0 SNMP and 0 "
                   "e-mail reserve records, 1 SMS retries, kept for the next start")
        r.set_tool_exit("sms", [0])
        calls = max(n for n, _, _ in r.numbered_calls())
        logger.start()
        want = sorted(line[:19] for line in lines[1:])
        r.wait_for(lambda: sorted(sms_stamps(r, calls)) == want, timeout=15, what="the kept lines' SMS")
        self.assertEqual(r.stop(), 0)

    def test_unusable_or_hostile_state_is_set_aside_and_the_daemon_runs(self):
        cases = [
            ("corrupt file", lambda r: r.write_file("run/norvale-eventd/owed", "norvale-eventd owed 1\nevent 9\n"),
             "Warning: state file /run/norvale-eventd/owed unusable (corrupt), kept as "
             "/run/norvale-eventd/owed.bad"),
            ("folder a link", lambda r: os.symlink("/tmp", r.path("run/norvale-eventd")),
             "Error: state folder /run/norvale-eventd refused: it is a symbolic link; nothing is "
             "kept across a restart"),
        ]
        for name, prepare, message in cases:
            with self.subTest(name):
                r = self.router()
                prepare(r)
                r.start()
                r.wait_log(message)
                r.send_lines(stamped(0))
                r.wait_calls("sms", 1)
                self.assertEqual(r.stop(), 0)


if __name__ == "__main__":
    unittest.main()
