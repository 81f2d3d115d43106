"""A simulated router for end-to-end tests of norvale-eventd.

The daemon runs as the real binary in a network namespace of its own and a
private mount namespace in which the router's paths are covered by scratch
copies: the settings file under /opt, a tmpfs on /run, a small /dev whose
/dev/log is a datagram socket this harness reads, and optionally /proc/uptime
and /etc/os-release. The router's tools are the stand-ins first in PATH, so
every command line the daemon builds is recorded as the tool received it.
"""
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.abspath(os.path.join(HERE, "..", ".."))
STANDINS = os.path.join(SOURCE_DIR, "tools", "standins")
DAEMON = os.environ.get("NORVALE_DAEMON", os.path.join(SOURCE_DIR, "build", "norvale-eventd"))

LOG_ERR, LOG_WARNING, LOG_NOTICE = 3, 4, 5
LOG_DAEMON = 3

RECORD = re.compile(rb"^<(\d+)>(\w{3} [ \d]\d \d\d:\d\d:\d\d) ([^\[:]+)(?:\[(\d+)\])?: (.*)$", re.S)

ENTER_SCRIPT = r"""
set -e
mount --make-rprivate /
mount -t tmpfs -o size=1m,mode=755 devtmp /dev
mknod -m 666 /dev/null c 1 3; mknod -m 666 /dev/zero c 1 5
mknod -m 666 /dev/random c 1 8; mknod -m 666 /dev/urandom c 1 9
mknod -m 666 /dev/tty c 5 0; ln -s /proc/self/fd /dev/fd
touch /dev/log; mount --bind "$ROOT/log.sock" /dev/log
mkdir -p /opt; mount --bind "$ROOT/opt" /opt
mount --bind "$ROOT/run" /run
[ -f "$ROOT/uptime" ] && mount --bind "$ROOT/uptime" /proc/uptime
[ -f "$ROOT/os-release" ] && mount --bind "$ROOT/os-release" /etc/os-release
ip link set lo up
echo $$ > "$ROOT/daemon.pid"
exec env -i PATH="$DAEMON_PATH" TZ=UTC NORVALE_STANDIN_DIR="$ROOT/standins" \
    NORVALE_STANDIN_SHOW="${NORVALE_STANDIN_SHOW:-}" SNMP_PERSISTENT_DIR="$ROOT/snmp" \
    SNMPCONFPATH="$ROOT/snmp" "$DAEMON" "$@"
"""


class SyslogCapture:
    """A Unix datagram socket standing in for /dev/log."""

    def __init__(self, path):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(path)
        os.chmod(path, 0o666)
        self.records = []
        self.lock = threading.Lock()
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self):
        while True:
            try:
                data = self.sock.recv(65536)
            except OSError:
                return
            m = RECORD.match(data.rstrip(b"\n"))
            if not m:
                rec = {"pri": None, "facility": None, "ident": None, "pid": None,
                       "text": data.decode(errors="replace"), "raw": data}
            else:
                pri = int(m.group(1))
                rec = {"pri": pri & 7, "facility": pri >> 3, "ident": m.group(3).decode(),
                       "pid": int(m.group(4)) if m.group(4) else None,
                       "text": m.group(5).decode(errors="replace"), "raw": data}
            with self.lock:
                self.records.append(rec)

    def texts(self):
        with self.lock:
            return [r["text"] for r in self.records]

    def find(self, text):
        with self.lock:
            return [r for r in self.records if r["text"] == text]

    def close(self):
        self.sock.close()


class Router:
    """One simulated router; use as a context manager."""

    def __init__(self, settings=None, uptime="5000.00 100.00\n", os_release=None, path_dirs=None):
        self.root = tempfile.mkdtemp(prefix="norvale-router-")
        os.chmod(self.root, 0o755)
        for d in ("opt/norvale/etc", "run", "standins/calls", "snmp"):
            os.makedirs(os.path.join(self.root, d), exist_ok=True)
        self.ns = "nv%d_%d" % (os.getpid(), id(self) % 100000)
        subprocess.run(["ip", "netns", "add", self.ns], check=True)
        self.netns("ip", "link", "set", "lo", "up")
        if settings is not None:
            self.write_settings(settings)
        if uptime is not None:
            self.write_file("uptime", uptime)
        if os_release is not None:
            self.write_file("os-release", os_release)
        self.log = SyslogCapture(os.path.join(self.root, "log.sock"))
        self.path_dirs = path_dirs
        self.proc = None
        self.daemon_pid = None

    # ----- set-up -----------------------------------------------------------
    def write_file(self, rel, text, mode="w"):
        path = os.path.join(self.root, rel)
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

    def set_tool_exit(self, tool, statuses):
        self.write_file("standins/%s.exit" % tool, "".join("%d\n" % s for s in statuses))

    # ----- running ----------------------------------------------------------
    def start(self, *args, env=None):
        path = self.path_dirs if self.path_dirs is not None else [STANDINS, "/usr/local/bin", "/usr/bin", "/bin", "/usr/sbin", "/sbin"]
        self._close_pipes()
        pid_file = os.path.join(self.root, "daemon.pid")
        if os.path.exists(pid_file):
            os.unlink(pid_file)
        e = {"ROOT": self.root, "DAEMON": DAEMON, "DAEMON_PATH": ":".join(path), "PATH": os.environ["PATH"]}
        if env:
            e.update(env)
        self.proc = subprocess.Popen(
            ["ip", "netns", "exec", self.ns, "unshare", "--mount", "--fork", "--",
             "/bin/sh", "-c", ENTER_SCRIPT, "enter"] + list(args),
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=e)
        deadline = time.time() + 10
        pid_file = os.path.join(self.root, "daemon.pid")
        while time.time() < deadline:
            if os.path.exists(pid_file) and os.path.getsize(pid_file) > 0:
                with open(pid_file) as f:
                    self.daemon_pid = int(f.read())
                return self
            if self.proc.poll() is not None:
                raise RuntimeError("router did not start: %s" % self.proc.stderr.read().decode())
            time.sleep(0.02)
        raise RuntimeError("router did not start in time")

    def run(self, *args, timeout=20):
        """Starts the daemon and waits for it to end on its own."""
        self.start(*args)
        out, err = self.proc.communicate(timeout=timeout)
        return self.proc.returncode, out.decode(), err.decode()

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
        self.proc.wait(timeout=timeout)
        return self.proc.returncode

    def wait_for(self, predicate, timeout=10, what="condition"):
        deadline = time.time() + timeout
        while time.time() < deadline:
            value = predicate()
            if value:
                return value
            time.sleep(0.05)
        raise AssertionError("timed out waiting for %s; log: %r; calls: %r"
                             % (what, self.log.texts(), self.calls()))

    def wait_log(self, text, count=1, timeout=10):
        return self.wait_for(lambda: len(self.log.find(text)) >= count and self.log.find(text),
                             timeout, "log %r" % text)

    def wait_calls(self, tool, count, timeout=10):
        return self.wait_for(lambda: len(self.calls(tool)) >= count and self.calls(tool),
                             timeout, "%d %s calls" % (count, tool))

    # ----- what the tools received ------------------------------------------
    def calls(self, tool=None):
        """[(tool, [args...])] in call order."""
        d = os.path.join(self.root, "standins", "calls")
        out = []
        for name in sorted(os.listdir(d)):
            if name.startswith(".") or name.endswith(".tmp"):
                continue
            t = name.split("-", 1)[1]
            if tool and t != tool:
                continue
            with open(os.path.join(d, name), "rb") as f:
                parts = f.read().split(b"\0")[:-1]
            out.append((t, [p.decode(errors="replace") for p in parts]))
        return out

    # ----- tear-down --------------------------------------------------------
    def close(self):
        if self.proc and self.proc.poll() is None:
            try:
                os.kill(self.daemon_pid, signal.SIGKILL)
            except (ProcessLookupError, TypeError):
                pass
            self.proc.kill()
            self.proc.wait()
        self._close_pipes()
        self.log.close()
        subprocess.run(["ip", "netns", "del", self.ns], stderr=subprocess.DEVNULL)
        shutil.rmtree(self.root, ignore_errors=True)

    def _close_pipes(self):
        if not self.proc:
            return
        for stream in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            try:
                stream.close()
            except (OSError, ValueError):
                pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def now_line(text, offset=0):
    """A system-log line stamped with the current UTC time (+offset seconds)."""
    return time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(time.time() + offset)) + " " + text


ENABLED = {"MOD_NORVALE_ENABLED": "1"}
