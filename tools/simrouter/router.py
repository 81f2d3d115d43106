"""A simulated router for end-to-end tests and the demo of norvale-eventd.

The daemon runs as the real binary in a network namespace of its own and a
private mount namespace in which the router's paths are covered by scratch
copies: the settings file under /opt, a tmpfs on /run, a small /dev whose
/dev/log is a datagram socket this harness reads, /proc/uptime (5000 s unless
given, so that no reboot is reported) and optionally /etc/os-release. It works
as root, or as the root of a user namespace that has its own network and mount
namespaces and a private /run (see ./demo). The router's tools are the stand-ins first in PATH, so
every command line the daemon builds is recorded as the tool received it.

Two ways to feed the system log:

- syslog="capture" (the default): the harness owns /dev/log and the daemon's
  standard input is a pipe that the test writes log lines into.
- syslog="rsyslog": a real rsyslogd owns /dev/log inside the router and starts
  the daemon itself (see start_rsyslog); messages are logged with logger
  inside the router (see inside), and rsyslog forwards every message it
  receives to the harness's socket, so log.find() and wait_log() work alike.
  The daemon itself, started through rsyslog_daemon_binary(), logs straight
  to the harness, so that its stop notice is seen after rsyslog has gone.

TrapReceiver is a real Net-SNMP snmptrapd playing the SNMP manager inside the
router's network namespace.
"""
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.abspath(os.path.join(HERE, "..", ".."))
STANDINS = os.path.join(SOURCE_DIR, "tools", "standins")
DAEMON = os.environ.get("NORVALE_DAEMON", os.path.join(SOURCE_DIR, "build", "norvale-eventd"))
DEFAULT_PATH = [STANDINS, "/usr/local/bin", "/usr/bin", "/bin", "/usr/local/sbin", "/usr/sbin", "/sbin"]

LOG_ERR, LOG_WARNING, LOG_NOTICE = 3, 4, 5
LOG_DAEMON = 3

# What the daemon logs for a SIGHUP, at the start of the cycle after it.
HUP_NOTICE = "Ignoring signal %d: settings are read only at start, restart to apply them" % signal.SIGHUP

UPTIME_OID = ".1.3.6.1.2.1.1.3.0"
TRAP_OID_OID = ".1.3.6.1.6.3.1.1.4.1.0"

RECORD = re.compile(rb"^<(\d+)>(\w{3} [ \d]\d \d\d:\d\d:\d\d) ([^\[:]+)(?:\[(\d+)\])?: (.*)$", re.S)

# Runs inside "ip netns exec NS unshare --mount --fork": makes the router's
# own view of the file system, then becomes the program given as "$@".
ENTER_SCRIPT = r"""
set -e
mount --make-rprivate /
# In a user namespace mknod is refused: the host's nodes are bound instead.
mkdir -p "$ROOT/hostdev"; mount --rbind /dev "$ROOT/hostdev"
mount -t tmpfs -o size=1m,mode=755 devtmp /dev
node() {
    mknod -m 666 "/dev/$1" c "$2" "$3" 2>/dev/null ||
        { touch "/dev/$1" && mount --bind "$ROOT/hostdev/$1" "/dev/$1"; }
}
node null 1 3; node zero 1 5; node random 1 8; node urandom 1 9; node tty 5 0
ln -s /proc/self/fd /dev/fd
if [ "$DEV_LOG" = capture ]; then touch /dev/log; mount --bind "$ROOT/log.sock" /dev/log; fi
mkdir -p /opt; mount --bind "$ROOT/opt" /opt
mount --bind "$ROOT/run" /run
[ -e "$ROOT/uptime" ] && mount --bind "$ROOT/uptime" /proc/uptime
[ -e "$ROOT/os-release" ] && mount --bind "$ROOT/os-release" /etc/os-release
ip link set lo up
echo $$ > "$ROOT/main.pid"
exec env -i PATH="$ROUTER_PATH" TZ=UTC NORVALE_STANDIN_DIR="$ROOT/standins" \
    NORVALE_STANDIN_SHOW="${NORVALE_STANDIN_SHOW:-}" SNMP_PERSISTENT_DIR="$ROOT/snmp" \
    SNMPCONFPATH="$ROOT/snmp" "$@"
"""

# What rsyslog forwards to the harness: the layout glibc's syslog(3) writes,
# so that SyslogCapture reads forwarded records like direct ones.
RSYSLOG_HEADER = """\
global(workDirectory="{work}")
module(load="imuxsock" SysSock.RateLimit.Interval="0")
template(name="NorvaleHarnessForward" type="string"
         string="<%PRI%>%TIMESTAMP% %syslogtag%%msg:::sp-if-no-1st-sp%%msg%")
$ModLoad omuxsock
$OMUxSockSocket {capture}
*.* :omuxsock:;NorvaleHarnessForward
"""


LAUNCHER = """#!/bin/sh
exec unshare --mount -- /bin/sh -c 'mount --bind "$0" /dev/log && exec "$@"' '{capture}' '{daemon}' "$@"
"""


# A datagram of the harness's own, never kept as a record: see SyslogCapture.sync.
SYNC_MARK = b"norvale-harness sync "


class SyslogCapture:
    """A Unix datagram socket standing in for /dev/log."""

    def __init__(self, path):
        self.path = path
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(path)
        os.chmod(path, 0o666)
        self.records = []
        self.lock = threading.Lock()
        self.synced = threading.Condition(self.lock)
        self.sync_sent = 0
        self.sync_read = 0
        self.reading = threading.Event()  # cleared: the system log stalls
        self.reading.set()
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self):
        while True:
            self.reading.wait()
            try:
                data = self.sock.recv(65536)
            except OSError:
                return
            if data.startswith(SYNC_MARK):
                with self.lock:
                    self.sync_read = int(data[len(SYNC_MARK):])
                    self.synced.notify_all()
                continue
            m = RECORD.match(data.rstrip(b"\n"))
            if not m:
                rec = {"pri": None, "facility": None, "ident": None, "pid": None,
                       "text": data.decode(errors="replace"), "raw": data}
            else:
                pri = int(m.group(1))
                rec = {"pri": pri & 7, "facility": pri >> 3, "ident": m.group(3).decode(),
                       "pid": int(m.group(4)) if m.group(4) else None,
                       "text": m.group(5).decode(errors="replace"), "raw": data}
            rec["when"] = time.time()
            with self.lock:
                self.records.append(rec)

    def all(self):
        with self.lock:
            return list(self.records)

    def texts(self, ident=None):
        with self.lock:
            return [r["text"] for r in self.records if ident is None or r["ident"] == ident]

    def find(self, text, ident=None):
        with self.lock:
            return [r for r in self.records if r["text"] == text and (ident is None or r["ident"] == ident)]

    def sync(self, timeout=10):
        """Returns once every record that reached the socket before the call
        has been read: a datagram of the harness's own, queued behind them,
        has come through. Before a check that something was NOT logged by a
        program that has ended."""
        with self.lock:
            self.sync_sent += 1
            number = self.sync_sent
        sender = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        try:
            sender.settimeout(timeout)
            sender.sendto(SYNC_MARK + str(number).encode(), self.path)
        finally:
            sender.close()
        with self.lock:
            if not self.synced.wait_for(lambda: self.sync_read >= number, timeout):
                raise AssertionError("the system log socket was not read within %s s" % timeout)

    def backlog(self):
        """True while records wait in the socket unread."""
        readable, _, _ = select.select([self.sock], [], [], 0)
        return bool(readable)

    def stall(self):
        """Stops reading (after at most one more record), as a system log
        that has fallen behind; its socket then fills."""
        self.reading.clear()

    def resume(self):
        self.reading.set()

    def close(self):
        self.reading.set()
        self.sock.close()


class NeedsRoot(unittest.SkipTest):
    """The simulated router cannot be made by this user; tests using it skip."""


SKIP_REASON = "needs root: the simulated router lives in private namespaces"


class Router:
    """One simulated router; use as a context manager. Raises NeedsRoot (a
    unittest skip) for a user other than root."""

    def __init__(self, settings=None, uptime="5000.00 100.00\n", os_release=None, path_dirs=None,
                 syslog="capture", daemon=None, run_in_memory=False):
        """run_in_memory: the router's /run on a tmpfs, as on a real router
        (for benchmarks: otherwise it is a folder on this machine's disk)."""
        if syslog not in ("capture", "rsyslog"):
            raise ValueError("syslog must be 'capture' or 'rsyslog'")
        if os.geteuid() != 0:
            raise NeedsRoot(SKIP_REASON)
        self.syslog = syslog
        self.root = tempfile.mkdtemp(prefix="norvale-router-")
        os.chmod(self.root, 0o755)
        for d in ("opt/norvale/etc", "run", "standins/calls", "snmp", "hostdev"):
            os.makedirs(os.path.join(self.root, d), exist_ok=True)
        self.run_mounted = run_in_memory
        if run_in_memory:
            subprocess.run(["mount", "-t", "tmpfs", "-o", "size=16m,mode=755", "tmpfs",
                            os.path.join(self.root, "run")], check=True)
        # Numeric OIDs only: without this every Net-SNMP tool run inside the
        # router would first try to load MIB files it does not need.
        self.write_file("snmp/snmp.conf", "mibs :\n")
        self.ns = "nv%d_%d" % (os.getpid(), id(self) % 100000)
        try:
            subprocess.run(["ip", "netns", "add", self.ns], check=True, stderr=subprocess.PIPE, text=True)
        except subprocess.CalledProcessError:
            shutil.rmtree(self.root, ignore_errors=True)
            raise
        self.netns("ip", "link", "set", "lo", "up")
        if settings is not None:
            self.write_settings(settings)
        if uptime is not None:
            self.write_file("uptime", uptime)
        if os_release is not None:
            self.write_file("os-release", os_release)
        self.log = SyslogCapture(os.path.join(self.root, "log.sock"))
        self.path_dirs = path_dirs
        self.daemon = daemon or DAEMON
        self.proc = None
        self.main_pid = None      # the first process inside the mount namespace
        self.daemon_pid = None
        self.rsyslog_pid = None
        self.rsyslog_config = None
        self.logger_bursts = 0
        self.receivers = []

    # ----- set-up -----------------------------------------------------------
    def path(self, rel):
        return os.path.join(self.root, rel)

    def write_file(self, rel, text, mode="w"):
        path = self.path(rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, mode) as f:
            f.write(text)
        return path

    def write_settings(self, settings):
        if isinstance(settings, dict):
            text = "".join("%s=%s\n" % kv for kv in settings.items())
        else:
            text = settings
        self.write_file("opt/norvale/etc/settings", text)

    def netns(self, *cmd, check=True):
        return subprocess.run(["ip", "netns", "exec", self.ns] + list(cmd), check=check,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    def add_cable(self, name, mac=None, address=None):
        """An Ethernet port: name inside the router, its peer end pN beside it."""
        peer = "p" + name[-1]
        self.netns("ip", "link", "add", name, "type", "veth", "peer", "name", peer)
        if mac:
            self.netns("ip", "link", "set", name, "address", mac)
        if address:
            self.netns("ip", "addr", "add", address, "dev", name)
        self.netns("ip", "link", "set", name, "up")
        self.netns("ip", "link", "set", peer, "up")

    def pull_cable(self, name):
        self.netns("ip", "link", "set", "p" + name[-1], "down")

    def plug_cable(self, name):
        self.netns("ip", "link", "set", "p" + name[-1], "up")

    def carrier(self, name):
        """The carrier the router sees on port name: "1", "0" or None (no port)."""
        out = self.netns("cat", "/sys/class/net/%s/carrier" % name, check=False)
        return out.stdout.strip() if out.returncode == 0 else None

    def request_test_event(self):
        """What the router's web interface does: creates the request file in /run."""
        self.write_file("run/norvale_test_ev_request.txt", "")

    def set_tool_delay(self, tool, seconds):
        """Every call of tool takes seconds, as a slow modem or mail server."""
        self.write_file("standins/%s.delay" % tool, "%s\n" % seconds)

    def set_tool_exit(self, tool, statuses):
        """statuses: exit statuses, or "hang" for a call that never ends."""
        self.write_file("standins/%s.exit" % tool, "".join("%s\n" % s for s in statuses))

    def end_hanging_call(self, tool):
        """Kills the call of tool that hangs (see set_tool_exit): it ends as
        a failure, as a wedged modem's tool that is cut off."""
        pid_file = self.path("standins/%s.pid" % tool)
        self.wait_for(lambda: os.path.exists(pid_file), what="a hanging %s call" % tool)
        with open(pid_file) as f:
            os.kill(int(f.read()), signal.SIGKILL)

    # ----- running ----------------------------------------------------------
    def router_path(self):
        return ":".join(self.path_dirs if self.path_dirs is not None else DEFAULT_PATH)

    def start_program(self, argv, env=None, stdin=subprocess.PIPE, stderr=subprocess.PIPE):
        """Starts argv as the first process of the router's mount namespace."""
        if self.proc is not None and self.proc.poll() is None:
            # Two daemons would race for the same request file and log.
            raise RuntimeError("the router's program is still running: stop it first")
        self._close_pipes()
        pid_file = self.path("main.pid")
        if os.path.exists(pid_file):
            os.unlink(pid_file)
        e = {"ROOT": self.root, "ROUTER_PATH": self.router_path(), "PATH": os.environ["PATH"],
             "DEV_LOG": self.syslog}
        if env:
            e.update(env)
        self.proc = subprocess.Popen(
            ["ip", "netns", "exec", self.ns, "unshare", "--mount", "--fork", "--",
             "/bin/sh", "-c", ENTER_SCRIPT, "enter"] + list(argv),
            stdin=stdin, stdout=subprocess.PIPE, stderr=stderr, env=e)
        deadline = time.time() + 10
        while time.time() < deadline:
            if os.path.exists(pid_file) and os.path.getsize(pid_file) > 0:
                with open(pid_file) as f:
                    self.main_pid = int(f.read())
                return self.main_pid
            if self.proc.poll() is not None:
                raise RuntimeError("router did not start: %s" % self.proc.stderr.read().decode())
            time.sleep(0.02)
        raise RuntimeError("router did not start in time")

    def start(self, *args, env=None, stderr=subprocess.PIPE):
        """Starts the daemon with args; its standard input is the test's pipe,
        its standard error a pipe unless given (a terminal's descriptor)."""
        if self.syslog != "capture":
            raise RuntimeError("with syslog='rsyslog' rsyslog starts the daemon: use start_rsyslog")
        self.daemon_pid = self.start_program([self.daemon] + list(args), env=env, stderr=stderr)
        return self

    def run(self, *args, timeout=20):
        """Starts the daemon and waits for it to end on its own."""
        self.start(*args)
        out, err = self.proc.communicate(timeout=timeout)
        self.log.sync()
        return self.proc.returncode, out.decode(), err.decode()

    def start_rsyslog(self, config=None):
        """Starts rsyslogd as the router's system logger with config (its
        rules, e.g. the deployment snippet) after the harness's own header,
        which owns /dev/log and forwards every message to self.log. Without
        config: the one it was last started with, and the same work
        directory, as the router's rsyslogd after a restart."""
        if self.syslog != "rsyslog":
            raise RuntimeError("start_rsyslog needs Router(syslog='rsyslog')")
        if config is None:
            config = self.rsyslog_config
        self.rsyslog_config = config
        work = self.path("rsyslog/work")
        os.makedirs(work, exist_ok=True)
        header = RSYSLOG_HEADER.format(work=work, capture=self.path("log.sock"))
        conf = self.write_file("rsyslog/rsyslog.conf", header + "\n" + config)
        pid_file = self.path("rsyslog/rsyslogd.pid")
        if os.path.exists(pid_file):  # left by an earlier rsyslogd
            os.unlink(pid_file)
        self.rsyslog_pid = self.start_program(["rsyslogd", "-n", "-f", conf, "-i", pid_file],
                                              stdin=subprocess.DEVNULL)
        # rsyslogd writes its pid file once its inputs are open.
        deadline = time.time() + 10
        while not os.path.exists(pid_file):
            if self.proc.poll() is not None:
                raise RuntimeError("rsyslogd ended: %s" % self.proc.stderr.read().decode(errors="replace"))
            if time.time() > deadline:
                raise RuntimeError("rsyslogd did not start in time")
            time.sleep(0.02)
        return self

    def rsyslog_daemon_binary(self, daemon=None):
        """What rsyslog's omprog should start in place of /usr/sbin/norvale-eventd:
        a launcher that becomes the daemon (same pid, so rsyslog's signals
        reach it) after pointing the daemon's own /dev/log straight at the
        harness. rsyslog stops its inputs before it stops the daemon, so the
        daemon's last messages would never get through rsyslog."""
        path = self.path("rsyslog/norvale-eventd-launcher")
        self.write_file("rsyslog/norvale-eventd-launcher", LAUNCHER.format(
            capture=self.path("log.sock"), daemon=daemon or self.daemon))
        os.chmod(path, 0o755)
        return path

    def wait_input_closed(self, pid, timeout=10):
        """With rsyslog: waits until rsyslogd has closed the writing end of
        program pid's standard input, as it does when it stops (after its
        SIGTERM to the program, with signalOnClose)."""
        pipe = os.readlink("/proc/%d/fd/0" % pid)

        def closed():
            fds = "/proc/%d/fd" % self.rsyslog_pid
            try:
                names = os.listdir(fds)
            except OSError:
                return True  # rsyslogd has gone
            for name in names:
                try:
                    if os.readlink(os.path.join(fds, name)) == pipe:
                        return False
                except OSError:
                    pass  # closed meanwhile
            return True
        self.wait_for(closed, timeout, "rsyslog to close the input of %d" % pid)

    def wait_daemon_started(self, count=1, timeout=10):
        """With rsyslog: waits for the daemon's count-th "started" (rsyslog
        starts it again after a kill or its own restart) and takes its pid."""
        rec = self.wait_log("started", count=count, timeout=timeout,
                            ident=os.path.basename(self.daemon))[count - 1]
        self.daemon_pid = rec["pid"]
        return self.daemon_pid

    def inside(self, *cmd, check=True, timeout=20):
        """Runs cmd inside the router (its network and mount namespaces, its PATH)."""
        if self.main_pid is None:
            raise RuntimeError("nothing runs inside the router yet")
        argv = ["nsenter", "--target", str(self.main_pid), "--mount", "--net", "--",
                "env", "-i", "PATH=" + self.router_path(), "TZ=UTC"] + list(cmd)
        return subprocess.run(argv, check=check, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              text=True, timeout=timeout)

    def logger(self, tag, message, with_pid=False):
        """Logs message through the router's /dev/log with logger(1), as
        "tag: message", or "tag[pid]: message" with_pid."""
        return self.inside("logger", "-t", tag, *(["-i"] if with_pid else []), "--", message)

    def logger_burst(self, tag, messages, with_pid=False):
        """Logs messages, one a line, with a single logger(1) run: they
        follow each other within milliseconds."""
        self.logger_bursts += 1
        path = self.write_file("logger-burst-%d.txt" % self.logger_bursts,
                               "".join(m + "\n" for m in messages))
        return self.inside("logger", "-t", tag, *(["-i"] if with_pid else []), "-f", path)

    def send_lines(self, *lines):
        data = "".join(l if l.endswith("\n") else l + "\n" for l in lines)
        self.proc.stdin.write(data.encode())
        self.proc.stdin.flush()

    def close_input(self):
        self.proc.stdin.close()

    def send_signal(self, sig=signal.SIGTERM):
        os.kill(self.daemon_pid, sig)

    def stop(self, sig=signal.SIGTERM, timeout=10):
        self.send_signal(sig)
        return self.wait(timeout)

    def wait(self, timeout=10):
        """Waits for the router's program to end; by then every message it
        logged is in self.log."""
        self.proc.wait(timeout=timeout)
        self.log.sync()
        return self.proc.returncode

    def alive(self, pid):
        """True while pid runs (and is no zombie)."""
        try:
            with open("/proc/%d/stat" % pid) as f:
                return f.read().rsplit(")", 1)[1].split()[0] != "Z"
        except (OSError, IndexError, TypeError):
            return False

    def wait_for(self, predicate, timeout=10, what="condition"):
        deadline = time.time() + timeout
        while time.time() < deadline:
            value = predicate()
            if value:
                return value
            time.sleep(0.05)
        raise AssertionError("timed out waiting for %s; log: %r; calls: %r"
                             % (what, self.log.texts(), self.calls()))

    def signal_pending(self, pid, sig):
        """True while sig waits to be taken by pid (neither handled nor
        discarded yet)."""
        try:
            with open("/proc/%d/status" % pid) as f:
                fields = dict(line.split(":", 1) for line in f if ":" in line)
        except OSError:
            return False
        bit = 1 << (int(sig) - 1)
        return any(int(fields.get(k, "0").strip(), 16) & bit for k in ("SigPnd", "ShdPnd"))

    # One cycle of the daemon's loop: a notice for each habitual signal noted
    # since the last cycle, the sends (retries first, then the queued events),
    # the probes (carriers, the test-event request), then a second of reading
    # the log. A check that something did NOT happen (a retry, a repeated
    # event or warning) waits for the cycle in which it would have happened,
    # marked by the notice of a SIGHUP: the daemon ignores the signal but for
    # that notice.

    def wait_cycle_end(self, timeout=10):
        """Sends the daemon SIGHUP and waits for the notice it logs at the
        start of its next cycle: the cycle running at the call is over. Only
        once the daemon has logged "started": before, SIGHUP would end it."""
        before = len(self.log.find(HUP_NOTICE))
        self.send_signal(signal.SIGHUP)
        self.wait_log(HUP_NOTICE, count=before + 1, timeout=timeout)

    def wait_cycles(self, count, timeout=10):
        """Returns once count whole cycles have begun and ended after the
        call (and the one running at the call): count to count + 1 seconds."""
        for _ in range(count + 1):
            self.wait_cycle_end(timeout)

    def wait_log(self, text, count=1, timeout=10, ident=None):
        return self.wait_for(lambda: len(self.log.find(text, ident)) >= count and self.log.find(text, ident),
                             timeout, "log %r" % text)

    def wait_calls(self, tool, count, timeout=10):
        return self.wait_for(lambda: len(self.calls(tool)) >= count and self.calls(tool),
                             timeout, "%d %s calls" % (count, tool))

    # ----- what the tools received ------------------------------------------
    def calls(self, tool=None):
        """[(tool, [args...])] in call order."""
        return [(t, args) for _, t, args in self.numbered_calls(tool=tool)]

    def numbered_calls(self, after=0, tool=None):
        """[(number, tool, [args...])] of the calls numbered above after."""
        d = self.path("standins/calls")
        out = []
        for name in sorted(os.listdir(d)):
            if name.startswith(".") or name.endswith(".tmp"):
                continue
            number, t = name.split("-", 1)
            if int(number) <= after or (tool and t != tool):
                continue
            with open(os.path.join(d, name), "rb") as f:
                parts = f.read().split(b"\0")[:-1]
            out.append((int(number), t, [p.decode(errors="replace") for p in parts]))
        return out

    # ----- tear-down --------------------------------------------------------
    def close(self):
        for receiver in list(self.receivers):
            receiver.close()
        if self.rsyslog_pid and self.alive(self.rsyslog_pid):
            try:
                os.kill(self.rsyslog_pid, signal.SIGTERM)
                self.proc.wait(timeout=10)
            except (ProcessLookupError, subprocess.TimeoutExpired):
                pass
        if self.proc and self.proc.poll() is None:
            for pid in (self.daemon_pid, self.main_pid):
                try:
                    os.kill(pid, signal.SIGKILL)
                except (ProcessLookupError, TypeError):
                    pass
            self.proc.kill()
            self.proc.wait()
        self._close_pipes()
        # Whatever still runs in the router's network namespace was started
        # for it (a daemon orphaned by rsyslog, a tool it ran): end it.
        pids = subprocess.run(["ip", "netns", "pids", self.ns], stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, text=True).stdout.split()
        for pid in pids:
            try:
                os.kill(int(pid), signal.SIGKILL)
            except (ProcessLookupError, ValueError):
                pass
        self.log.close()
        subprocess.run(["ip", "netns", "del", self.ns], stderr=subprocess.DEVNULL)
        if self.run_mounted:
            subprocess.run(["umount", "-l", self.path("run")], check=False)
        shutil.rmtree(self.root, ignore_errors=True)

    def _close_pipes(self):
        if not self.proc:
            return
        for stream in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            try:
                if stream:
                    stream.close()
            except (OSError, ValueError):
                pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class TrapReceiver:
    """A real snmptrapd inside the router's network namespace, listening on
    udp:address:port (127.0.0.1 by default), with nothing but its own
    configuration.

    community: a text or a list of texts accepted for SNMPv1/v2c
    (authCommunity log). users: SNMPv3 users, dicts with the keys name and
    optionally engine_id, auth, auth_pass, priv, priv_pass and level
    ("noauth", "auth" or "priv"; by default the strongest the keys allow).
    A trap's user is localised to the sender's engine ID: give it as
    engine_id (hexadecimal, with or without 0x). An inform's user belongs to
    the receiver's own engine ID: leave engine_id out and set old_engine_id,
    the receiver's engine ID (oldEngineID), to the one the sender presets
    with -e. extra: more snmptrapd.conf lines.

    Each notification is logged as one record; notifications() parses them.
    """

    FIELDS = ("version", "security", "transport", "agent", "enterprise", "generic", "specific")
    SEPARATOR = "\t@@\t"

    started = 0

    def __init__(self, router, port=1162, community="public", users=(), old_engine_id=None, extra="",
                 address="127.0.0.1"):
        self.router = router
        self.address = address
        self.port = port
        # Every receiver keeps its own files: a restarted one must not
        # inherit the engine state of an earlier one.
        TrapReceiver.started += 1
        self.dir = router.path("trapd-%s-%d-%d" % (address, port, TrapReceiver.started))
        os.makedirs(os.path.join(self.dir, "persist"), exist_ok=True)
        os.makedirs(os.path.join(self.dir, "mibs"), exist_ok=True)
        self.conf = os.path.join(self.dir, "snmptrapd.conf")
        self.logfile = os.path.join(self.dir, "traps.log")
        with open(self.conf, "w") as f:
            f.write(self.config_text(community, users, old_engine_id, extra))
        env = dict(os.environ, SNMP_PERSISTENT_DIR=os.path.join(self.dir, "persist"), SNMPCONFPATH=self.dir)
        self.proc = subprocess.Popen(
            ["ip", "netns", "exec", router.ns, "snmptrapd", "-f", "-C", "-c", self.conf,
             "-Lf", self.logfile, "-On", "-n", "-m", "", "-M", os.path.join(self.dir, "mibs"),
             "udp:%s:%d" % (address, port)],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env)
        router.receivers.append(self)
        self._wait_listening()

    def config_text(self, community, users, old_engine_id, extra):
        fields = "%P\t%b\t"
        lines = [
            "format1 NVTRAP\tv1\t" + fields + "%a\t%N\t%w\t%q\t%V" + self.SEPARATOR + "%v\tNVEND\\n",
            "format2 NVTRAP\tv2\t" + fields + "\t\t\t\t%V" + self.SEPARATOR + "%v\tNVEND\\n",
        ]
        lines = [l.replace("\t", "\\t") for l in lines]
        if isinstance(community, str):
            community = [community]
        for c in community or ():
            lines.append("authCommunity log %s" % c)
        if old_engine_id:
            lines.append("oldEngineID %s" % hex_id(old_engine_id))
        for u in users:
            words = ["createUser"]
            if u.get("engine_id"):
                words += ["-e", hex_id(u["engine_id"])]
            words.append(u["name"])
            if u.get("auth"):
                words += [u["auth"], u["auth_pass"]]
                if u.get("priv"):
                    words += [u["priv"], u["priv_pass"]]
            lines.append(" ".join(words))
            level = u.get("level") or ("priv" if u.get("priv") else "auth" if u.get("auth") else "noauth")
            lines.append("authUser log %s %s" % (u["name"], level))
        if extra:
            lines.append(extra)
        return "\n".join(lines) + "\n"

    def _wait_listening(self, timeout=10):
        # /proc/net/udp shows the address as the native 32-bit number.
        wanted = "%s:%04X" % (socket.inet_aton(self.address)[::-1].hex().upper(), self.port)
        deadline = time.time() + timeout
        while time.time() < deadline:
            if self.proc.poll() is not None:
                raise RuntimeError("snmptrapd ended: %s" % self.proc.stdout.read().decode(errors="replace"))
            table = self.router.netns("cat", "/proc/net/udp").stdout.splitlines()[1:]
            if any(line.split()[1:2] == [wanted] for line in table):
                return
            time.sleep(0.05)
        raise RuntimeError("snmptrapd did not listen on %s:%d in time" % (self.address, self.port))

    def raw(self):
        try:
            with open(self.logfile, errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def notifications(self):
        """Every notification received so far, oldest first, as dicts:
        version ("v1", "v2c" or "v3"), pdu ("TRAP", "TRAP2", "INFORM"),
        community or user and context, source (the sender's address),
        varbinds [(oid, type, value)], and trap_oid and uptime (v2c/v3) or
        agent, enterprise, generic and specific (v1)."""
        out = []
        for m in re.finditer(r"NVTRAP\t(.*?)\tNVEND\n", self.raw(), re.S):
            # Seven fixed fields, a tab, then the bindings between separators.
            fields = m.group(1).split("\t", len(self.FIELDS))
            n = dict(zip(self.FIELDS, fields))
            binds = fields[-1] if len(fields) > len(self.FIELDS) else ""
            n["varbinds"] = [b for b in map(parse_varbind, binds.split(self.SEPARATOR)) if b]
            n.update(parse_security(n["security"]))
            src = re.search(r"\[([^\]]+)\]:\d+->", n["transport"])
            n["source"] = src.group(1) if src else n["transport"]
            if n["version"] == "v2":
                values = {oid: value for oid, _, value in n["varbinds"]}
                n["uptime"] = values.get(UPTIME_OID)
                n["trap_oid"] = values.get(TRAP_OID_OID)
                n["varbinds"] = [b for b in n["varbinds"] if b[0] not in (UPTIME_OID, TRAP_OID_OID)]
                for k in ("agent", "enterprise", "generic", "specific"):
                    del n[k]
            elif re.fullmatch(r"\.\d+", n["specific"]):
                # snmptrapd prints the specific trap number as ".N".
                n["specific"] = n["specific"][1:]
            n["version"] = n.pop("snmp_version", n["version"])
            out.append(n)
        return out

    def wait_for(self, count, timeout=10):
        deadline = time.time() + timeout
        while time.time() < deadline:
            got = self.notifications()
            if len(got) >= count:
                return got
            time.sleep(0.05)
        raise AssertionError("timed out waiting for %d notifications; got %r; log: %r"
                             % (count, self.notifications(), self.raw()[-2000:]))

    def close(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc.stdout.close()
        if self in self.router.receivers:
            self.router.receivers.remove(self)


def hex_id(text):
    return text if text.lower().startswith("0x") else "0x" + text


def parse_varbind(text):
    """".1.3.6.1.4.1.32473.3.101.8.0 = Gauge32: 1" -> (oid, "Gauge32", "1")."""
    oid, sep, rest = text.partition(" = ")
    if not sep:
        return None
    kind, sep, value = rest.partition(": ")
    if not sep:
        return (oid, "", rest)
    return (oid, kind, value)


def parse_security(text):
    """"TRAP2, SNMP v2c, community demo" -> pdu, snmp_version and community
    (or user and context for SNMPv3)."""
    parts = [p.strip() for p in text.split(", ")]
    out = {"pdu": parts[0] if parts else ""}
    for p in parts[1:]:
        key, _, value = p.partition(" ")
        if key == "SNMP":
            out["snmp_version"] = value
        elif key in ("community", "user", "context"):
            out[key] = value
    return out


def now_line(text, offset=0):
    """A system-log line stamped with the current UTC time (+offset seconds)."""
    return time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(time.time() + offset)) + " " + text


ENABLED = {"MOD_NORVALE_ENABLED": "1"}
