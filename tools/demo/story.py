"""norvale-eventd's main job, played on a simulated router.

The real daemon runs in private namespaces with three Ethernet cables (veth
pairs eth0..eth2), a real Net-SNMP trap receiver as its SNMP manager, the
stand-ins for the router's sms and email tools, and settings that send every
event by SNMPv2c trap, to mail group 1 and by SMS. The story: the router has
just booted, the configuration is changed, a login fails, a cable is pulled
and the administrator asks for a test event. Each notification is shown as it
arrives, with the daemon's own syslog lines, and checked at the end.

    story.py [--check | --interactive] [--daemon PATH]

--check first checks the router's settings with norvale-eventd -t, then
plays the story without pauses, and exits 0 only when the settings have no
problem and every notification of the story arrived exactly once. --interactive keeps the
router running and reads commands (help lists them).
"""
import argparse
import os
import re
import signal
import subprocess
import sys
import textwrap
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "simrouter"))

from router import SOURCE_DIR, NeedsRoot, Router, TrapReceiver  # noqa: E402

TRAP_PORT = 1162
COMMUNITY = "demo"
RECIPIENT = "+15550100"
MAIL_TO = "noc@example.net"
DEVICE = "Demo router"
LOCATION = "Lab bench 2"
EVENTS = [None, "CONFIG_CHANGED", "PASSWORD_CHANGED", "LOGIN_FAILED", "ETH0_DISCONNECTED",
          "ETH1_DISCONNECTED", "ETH2_DISCONNECTED", "SYSTEM_REBOOT", "TEST_EVENT"]
NAMES = [None, "Configuration changed", "Password changed", "Login failed",
         "Ethernet cable 0 disconnected", "Ethernet cable 1 disconnected",
         "Ethernet cable 2 disconnected", "System rebooted", "Test event triggered"]
EVENT_OID = re.compile(r"^\.1\.3\.6\.1\.4\.1\.\d+\.3\.101\.(\d+)\.0$")
WIDTH = 78

CONFIG_LINE = "cfg: user 'admin' updated configuration of LAN"
LOGIN_LINE = "login[812]: pam_unix(login:auth): authentication failure; user=admin"
PASSWORD_LINE = "passwd[901]: pam_unix(passwd:chauthtok): password changed for admin"


def settings():
    s = {
        "MOD_NORVALE_ENABLED": "1",
        "MOD_NORVALE_DEVICE_NAME": DEVICE,
        "MOD_NORVALE_DEVICE_LOCATION": LOCATION,
        "MOD_NORVALE_DEVICE_LOCATION_SUBJ": "1",
        "MOD_NORVALE_SMS_RECIPIENT_1": RECIPIENT,
        "MOD_NORVALE_MAIL_GROUP_1_ADDR_1": MAIL_TO,
        "MOD_NORVALE_SNMP_VERSION": "2",
        "MOD_NORVALE_SNMP_MANAGER_IP_ADDR": "127.0.0.1",
        "MOD_NORVALE_SNMP_MANAGER_PORT": str(TRAP_PORT),
        "MOD_NORVALE_SNMP_COMMUNITY": COMMUNITY,
    }
    for event in EVENTS[1:]:
        for channel in ("TRAP", "MAIL_GROUP_1", "SMS"):
            s["MOD_NORVALE_EVENT_%s_SUBSCRIBE_%s" % (event, channel)] = "1"
    return s


class Screen:
    """Prints labelled, width-limited lines; one lock for every thread."""

    COLORS = {"router": "1;36", "syslog": "33", "SNMP": "32", "e-mail": "32", "SMS": "32",
              "title": "1", "bad": "1;31", "good": "1;32"}

    def __init__(self):
        self.lock = threading.Lock()
        self.color = sys.stdout.isatty() and os.environ.get("TERM") != "dumb" and "NO_COLOR" not in os.environ
        self.prompt = "router> "
        self.reading = False   # a prompt stands on the last line, waiting for input

    def paint(self, kind, text):
        code = self.COLORS.get(kind)
        return "\033[%sm%s\033[0m" % (code, text) if self.color and code else text

    def emit(self, lines):
        with self.lock:
            if self.reading:
                sys.stdout.write("\r\033[K" if self.color else "\n")
            sys.stdout.write("".join(l + "\n" for l in lines))
            if self.reading:
                sys.stdout.write(self.prompt)
            sys.stdout.flush()

    def read_command(self, echo):
        """One line typed at the prompt; None at the end of input."""
        with self.lock:
            sys.stdout.write(self.prompt)
            sys.stdout.flush()
            self.reading = True
        try:
            line = sys.stdin.readline()
        finally:
            with self.lock:
                self.reading = False
        if not line:
            return None
        if echo:
            self.emit([line.rstrip("\n")])
        return line

    def item(self, label, first, more=()):
        text = []
        for line in [first] + list(more):
            text += wrap(line, WIDTH - 10)
        lines = [self.paint(label, "  %-7s " % label) + text[0]]
        lines += ["          " + t for t in text[1:]]
        self.emit(lines)

    def title(self, text):
        self.emit(["", self.paint("title", "== " + text + " ==")])

    def say(self, text, kind=None):
        self.emit([self.paint(kind, text) if kind else text])


def wrap(line, width):
    """Splits a line to the width; continuations keep a "| " margin."""
    line = line.replace("\t", " ").rstrip()
    margin = "| " if line.startswith("| ") or line == "|" else ""
    pieces = textwrap.wrap(line, width, subsequent_indent=margin + "    ", drop_whitespace=True,
                           break_on_hyphens=False)
    return pieces or [line]


def clip(text, width):
    text = text.replace("\t", " ")
    return text if len(text) <= width else text[:width - 3] + "..."


class Watcher:
    """Shows what arrives at the SNMP manager, the tools and syslog."""

    def __init__(self, router, receiver, screen):
        self.router, self.receiver, self.screen = router, receiver, screen
        self.seen_log = self.seen_call = self.seen_traps = 0
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)

    def start(self):
        self.thread.start()

    def stop(self):
        self.poll()
        self.stopping.set()
        self.thread.join()

    def _run(self):
        while not self.stopping.wait(0.05):
            self.poll()

    def poll(self):
        for rec in self.router.log.all()[self.seen_log:]:
            self.seen_log += 1
            prio = {3: "err", 4: "warning", 5: "notice"}.get(rec["pri"], str(rec["pri"]))
            self.screen.item("syslog", "%s[%s] <%s> %s" % (rec["ident"], rec["pid"], prio, rec["text"]))
        traps = self.receiver.notifications()
        for n in traps[self.seen_traps:]:
            self.seen_traps += 1
            self.show_trap(n)
        for number, tool, args in self.router.numbered_calls(after=self.seen_call):
            self.seen_call = number
            if tool == "email":
                self.show_mail(args)
            elif tool == "sms":
                self.show_sms(args)

    def show_trap(self, n):
        event = "?"
        for oid, kind, value in n["varbinds"]:
            m = EVENT_OID.match(oid)
            if m and 0 < int(m.group(1)) < len(EVENTS):
                event = EVENTS[int(m.group(1))]
        who = ("community '%s'" % n["community"]) if "community" in n else ("user '%s'" % n.get("user"))
        lines = ["%s %s from %s, %s" % (n["version"], n["pdu"].lower().replace("trap2", "trap"),
                                         n["source"], who),
                 "snmpTrapOID %s (the product)" % n["trap_oid"] if "trap_oid" in n
                 else "enterprise %s, agent %s" % (n["enterprise"], n["agent"])]
        lines += ["%s = %s: %s" % b for b in n["varbinds"]]
        self.screen.item("SNMP", "manager received %s" % event, lines)

    def show_mail(self, args):
        opts = dict(zip(args[::2], args[1::2]))
        body = opts.get("-m", "").split("\n")
        self.screen.item("e-mail", "To: %s" % opts.get("-t", "?"),
                         ["Subject: %s" % opts.get("-s", "?")] + [("| " + l).rstrip() for l in body])

    def show_sms(self, args):
        recipient, text = (args + ["", ""])[:2]
        self.screen.item("SMS", "to %s" % recipient, ["| " + l for l in text.split("\n")])


class Expected:
    """An event of the story, raised no earlier than earliest (epoch seconds):
    it must cause one trap, one e-mail and one SMS."""

    def __init__(self, code, earliest):
        self.code, self.earliest = code, earliest


def stamp(t):
    return time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(t))


def traps_for(receiver, code):
    out = []
    for n in receiver.notifications():
        codes = [int(EVENT_OID.match(oid).group(1)) for oid, kind, value in n["varbinds"]
                 if EVENT_OID.match(oid) and kind == "Gauge32" and value == "1"]
        if codes == [code] and n["version"] == "v2c" and n.get("community") == COMMUNITY:
            out.append(n)
    return out


def mails_for(router, code):
    subject = "[Event %d on %s, %s] %s" % (code, DEVICE, LOCATION, NAMES[code])
    return [args for args in (a for t, a in router.calls("email"))
            if args[:4] == ["-t", MAIL_TO, "-s", subject] and len(args) == 6 and args[4] == "-m"]


def sms_for(router, code):
    return [args for t, args in router.calls("sms")
            if len(args) == 2 and args[0] == RECIPIENT and args[1].split("\n")[0] == NAMES[code]]


def arrived(router, receiver, code):
    return bool(traps_for(receiver, code) and mails_for(router, code) and sms_for(router, code))


def check(router, receiver, expected, story_end):
    """Every expected event notified exactly once on each channel, with its
    time inside the story; nothing else notified. Returns the problems."""
    problems = []
    for e in expected:
        name = EVENTS[e.code]
        traps, mails, sms = traps_for(receiver, e.code), mails_for(router, e.code), sms_for(router, e.code)
        for what, got in (("SNMP trap", traps), ("e-mail", mails), ("SMS", sms)):
            if len(got) != 1:
                problems.append("%s: %d %s (expected 1)" % (name, len(got), what))
        latest = stamp(story_end)
        for args in mails:
            ts = re.search(r"\nTimestamp: (.*)\n", args[5])
            body = ("Device: %s\nLocation: %s\nAdmin contact: N/A\nTimestamp: %s\n\n"
                    "The following event was detected: %s (event code: %d)"
                    % (DEVICE, LOCATION, ts.group(1) if ts else "?", NAMES[e.code], e.code))
            if not ts or args[5] != body or not stamp(e.earliest) <= ts.group(1) <= latest:
                problems.append("%s: unexpected e-mail body %r" % (name, args[5]))
        for args in sms:
            ts = args[1].rpartition("\nTimestamp: ")[2]
            text = "%s\nDevice: %s\nLocation: %s\nTimestamp: %s" % (NAMES[e.code], DEVICE, LOCATION, ts)
            if args[1] != text or not stamp(e.earliest) <= ts <= latest:
                problems.append("%s: unexpected SMS text %r" % (name, args[1]))
    # Nothing beyond them: no event that the story did not cause.
    wanted = {e.code for e in expected}
    accepted = sum(len(traps_for(receiver, c)) for c in wanted)
    if len(receiver.notifications()) != accepted:
        problems.append("unexpected SNMP notifications: %r" % receiver.notifications())
    calls = [c for c in router.calls() if c[0] in ("email", "sms")]
    if len(calls) != sum(len(mails_for(router, c)) + len(sms_for(router, c)) for c in wanted):
        problems.append("unexpected tool calls: %r" % calls)
    return problems


class Demo:
    def __init__(self, daemon, check_mode, interactive):
        self.check_mode = check_mode
        self.interactive = interactive
        self.pause = 0 if check_mode else 1.2
        self.screen = Screen()
        self.daemon = daemon
        self.expected = []
        self.settings_status = 0

    def wait_event(self, code, earliest, timeout=12):
        self.expected.append(Expected(code, earliest))
        deadline = time.time() + timeout
        while time.time() < deadline:
            if arrived(self.router, self.receiver, code):
                time.sleep(0.3)   # let the watcher show the last of them
                return True
            time.sleep(0.05)
        self.screen.say("  (not all notifications for %s arrived within %d s)" % (EVENTS[code], timeout), "bad")
        return False

    def breathe(self):
        time.sleep(self.pause)

    def send_log(self, text):
        line = stamp(time.time()) + " " + text
        self.screen.item("router", "system log: " + line)
        self.router.send_lines(line)

    def pull(self, port):
        self.router.pull_cable(port)
        self.screen.item("router", "cable pulled from %s (carrier now %s)" % (port, self.router.carrier(port)))

    def plug(self, port):
        self.router.plug_cable(port)
        self.screen.item("router", "cable plugged into %s (carrier now %s)" % (port, self.router.carrier(port)))

    def request_test(self):
        self.router.request_test_event()
        self.screen.item("router", "administrator asks for a test event:",
                         ["touch /run/norvale_test_ev_request.txt"])

    def set_up(self):
        s = self.screen
        self.router = Router(settings=settings(), uptime="12.34 5.00\n", daemon=self.daemon)
        for port in ("eth0", "eth1", "eth2"):
            self.router.add_cable(port)
        self.receiver = TrapReceiver(self.router, port=TRAP_PORT, community=COMMUNITY)
        s.title("norvale-eventd on a simulated router")
        s.say("  cables      eth0 eth1 eth2 plugged in (veth pairs, carrier 1)")
        s.say("  SNMP        manager: snmptrapd on udp 127.0.0.1:%d, community '%s'" % (TRAP_PORT, COMMUNITY))
        s.say("  e-mail      mail group 1: %s (email stand-in)" % MAIL_TO)
        s.say("  SMS         recipient %s (sms stand-in)" % RECIPIENT)
        s.say("  every event is subscribed to all three channels")
        self.watcher = Watcher(self.router, self.receiver, s)
        self.watcher.start()

    def check_settings(self):
        """Runs the daemon's settings check on the router's settings file."""
        self.screen.title("The settings are checked first (norvale-eventd -t)")
        status, out, err = self.router.run("-t")
        for line in (out + err).splitlines():
            if line.startswith("/"):
                self.screen.item("router", line)
        if status != 0:
            self.settings_status = status
            self.screen.say("  (norvale-eventd -t exited with status %d)" % status, "bad")

    def start_daemon(self):
        self.screen.title("The router has just booted (/proc/uptime: 12.34 s); the daemon starts")
        began = time.time()
        self.router.start()
        self.router.wait_log("started")
        self.wait_event(7, began)

    def story(self):
        s = self.screen
        if self.check_mode:
            self.check_settings()
        self.start_daemon()
        self.breathe()
        s.title("Someone changes the configuration")
        began = time.time()
        self.send_log(CONFIG_LINE)
        self.wait_event(1, began)
        self.breathe()
        s.title("A login fails")
        began = time.time()
        self.send_log(LOGIN_LINE)
        self.wait_event(3, began)
        self.breathe()
        s.title("The cable of eth1 is pulled")
        began = time.time()
        self.pull("eth1")
        self.wait_event(5, began)
        self.breathe()
        s.title("The administrator asks for a test event")
        began = time.time()
        self.request_test()
        self.wait_event(8, began)
        self.breathe()

    def stop_daemon(self):
        self.screen.title("The daemon is stopped (SIGTERM)")
        self.router.send_signal(signal.SIGTERM)
        status = self.router.wait(timeout=10)
        self.router.wait_log("stopped, got_signal: 15", timeout=5)
        self.watcher.stop()
        self.screen.item("router", "norvale-eventd exited with status %d" % status)
        return status

    def verdict(self, status, story_end):
        problems = check(self.router, self.receiver, self.expected, story_end)
        texts = self.router.log.texts()
        for needed in ("started", "stopped, got_signal: 15"):
            if texts.count(needed) != 1:
                problems.append("syslog: %r logged %d times" % (needed, texts.count(needed)))
        if status != 0:
            problems.append("the daemon exited with status %d" % status)
        if self.settings_status != 0:
            problems.append("norvale-eventd -t exited with status %d" % self.settings_status)
        self.screen.say("")
        if problems:
            self.screen.say("FAILED: %d problem(s):" % len(problems), "bad")
            for p in problems:
                self.screen.say("  - " + clip(p, WIDTH - 4))
            return 1
        self.screen.say("All %d events were notified by SNMP trap, e-mail and SMS, each exactly once."
                        % len(self.expected), "good")
        return 0

    def play(self):
        self.set_up()
        try:
            if self.interactive:
                return self.console()
            self.story()
            status = self.stop_daemon()
            result = self.verdict(status, time.time())
            if not self.check_mode:
                self.screen.say("Try it by hand: ./demo --interactive")
            return result
        finally:
            self.router.close()

    # ----- interactive ------------------------------------------------------
    HELP = """commands:
  log <text>   a system-log line, stamped with the time now; for example
      log cfg: user 'admin' updated configuration of LAN
      log login[812]: pam_unix(login:auth): authentication failure; user=admin
      log passwd[901]: pam_unix(passwd:chauthtok): password changed for admin
  pull <port>  pull the cable of eth0, eth1 or eth2 (plug <port> puts it back)
  test         ask for a test event
  quit         stop the daemon and leave (so does the end of input)"""

    def console(self):
        self.start_daemon()
        time.sleep(0.5)
        self.screen.say(self.HELP)
        tty = sys.stdin.isatty()
        while True:
            # Typed input echoes itself; scripted input is shown after the prompt.
            line = self.screen.read_command(echo=not tty)
            if line is None:
                break
            word, _, rest = line.strip().partition(" ")
            rest = rest.strip()
            if word in ("quit", "exit"):
                break
            if word == "log" and rest:
                self.send_log(rest)
            elif word in ("pull", "plug") and rest in ("eth0", "eth1", "eth2"):
                (self.pull if word == "pull" else self.plug)(rest)
            elif word == "test":
                self.request_test()
            elif word in ("help", "?"):
                self.screen.say(self.HELP)
            elif word:
                self.screen.say("unknown command; type help")
            if not tty:
                time.sleep(2.5)   # scripted input: let each step show its effect
        status = self.stop_daemon()
        return 0 if status == 0 else 1


SKIPPED = 77  # exit status when this user cannot simulate the router


def main():
    parser = argparse.ArgumentParser(description="norvale-eventd on a simulated router")
    mode = parser.add_mutually_exclusive_group()
    mode.add_argument("--check", action="store_true", help="play without pauses; exit 0 only if all arrived")
    mode.add_argument("--interactive", action="store_true", help="type log lines, pull and plug cables")
    parser.add_argument("--daemon", default=os.path.join(SOURCE_DIR, "build", "norvale-eventd"))
    args = parser.parse_args()
    if not os.access(args.daemon, os.X_OK):
        print("demo: no daemon at %s; build it first" % args.daemon, file=sys.stderr)
        return 2
    try:
        return Demo(os.path.abspath(args.daemon), args.check, args.interactive).play()
    except KeyboardInterrupt:
        return 130
    except NeedsRoot as e:
        print("demo: skipped: %s" % e, file=sys.stderr)
        return SKIPPED
    except (OSError, RuntimeError, subprocess.CalledProcessError) as e:
        err = getattr(e, "stderr", None)
        print("demo: cannot simulate the router here: %s%s" % (e, (": " + err.strip()) if err else ""),
              file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main())
