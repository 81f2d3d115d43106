#!/usr/bin/env python3
"""What tool runs and log lines cost the real daemon, as ratios against a
floor measured in the same run: bench/spawn_floor.c, which starts
"sh -c 'exec date ...'" the way the daemon must. Prints each figure beside
its goal:

  noise line, daemon CPU (own + children) / floor run      <= 0.05
  matching line, daemon CPU (own + children) / floor run   <= 1.10
  daemon's own CPU per tool run / floor run                 <= 0.04
  per-line CPU with an open-file limit of 20000 vs 1024     <= 1.10
  daemon's own CPU idle, and after the end of its input     <= 1.5 s per hour
  resident memory                                           <= 3 MB
  resident memory growth over 100k lines                    none
  one-stamp flood of failed logins, CPU per line / floor    <= 0.02
  one-stamp flood, lines the reader handles a second        (reported)
  writes of the kept state per event, and per noise line    (reported; 0 for noise)

Usage: tool_runs.py [IDLE_SECONDS]   (root; uses tools/simrouter; default 60)
"""
import ctypes
import os
import resource
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tools", "simrouter"))
from router import Router, now_line  # noqa: E402

TICK = os.sysconf("SC_CLK_TCK")
MATCHING = "cfg: user 'u%d' updated configuration of LAN"  # not subscribed: one date run each
NOISE = "dnsmasq[77]: query[A] host%d.example.com from 10.0.0.2"
IDLE_SAMPLE = 5
CLOSING = "passwd[1]: pam_unix(passwd:chauthtok): password changed for admin"
FLOOD = "sshd[9]: pam_unix(sshd:auth): authentication failure; user=root"


def own_s(pid):
    with open("/proc/%d/schedstat" % pid) as f:
        return int(f.read().split()[0]) / 1e9


def children_s(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[13]) + int(fields[14])) / TICK  # cutime, cstime


class StateWrites:
    """Counts the times the kept state is replaced (each write ends with a
    rename onto its name), watched with inotify from outside the router.
    The other side of each rename is watched too, or the kernel would fold
    identical unread events into one."""
    IN_MOVED_FROM = 0x40
    IN_MOVED_TO = 0x80

    def __init__(self, folder):
        self.libc = ctypes.CDLL(None, use_errno=True)
        self.fd = self.libc.inotify_init1(os.O_NONBLOCK)
        mask = self.IN_MOVED_FROM | self.IN_MOVED_TO
        if self.libc.inotify_add_watch(self.fd, folder.encode(), mask) < 0:
            raise OSError(ctypes.get_errno(), "inotify_add_watch " + folder)
        self.count = 0

    def read(self):
        try:
            data = os.read(self.fd, 65536)
        except BlockingIOError:
            return self.count
        at = 0
        while at < len(data):
            _, mask, _, length = struct.unpack_from("iIII", data, at)
            name = data[at + 16:at + 16 + length].rstrip(b"\0")
            self.count += bool(mask & self.IN_MOVED_TO) and name == b"owed"
            at += 16 + length
        return self.read()


def rss_kb(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return -1


def floor_ms(binary, runs=300):
    own, kids = (float(x) for x in subprocess.check_output([binary, str(runs)]).split())
    return own + kids


def start(nofile=None):
    saved = resource.getrlimit(resource.RLIMIT_NOFILE)
    if nofile:
        resource.setrlimit(resource.RLIMIT_NOFILE, (nofile, max(nofile, saved[1])))
    try:
        # /run in memory, as on the router: the kept state is written there.
        r = Router(settings={"MOD_NORVALE_ENABLED": "1",
                             "MOD_NORVALE_EVENT_PASSWORD_CHANGED_SUBSCRIBE_MAIL_GROUP_1": "1",
                             "MOD_NORVALE_MAIL_GROUP_1_ADDR_1": "ops@example.org"},
                   run_in_memory=True)
        r.start()
    finally:
        resource.setrlimit(resource.RLIMIT_NOFILE, saved)
    r.wait_log("started")
    time.sleep(1.5)
    return r


def burst(r, template, count, closings, one_stamp=False):
    """CPU (own, children) in seconds spent on count lines, idle cost removed,
    and the wall time until the line after them was handled. one_stamp gives
    every line the same time, as a flood written within one second."""
    pid = r.daemon_pid
    # The per-second cost of the idle cycle, taken off what the burst spent.
    o0, c0 = own_s(pid), children_s(pid)
    time.sleep(IDLE_SAMPLE)
    idle_own, idle_kids = (own_s(pid) - o0) / IDLE_SAMPLE, (children_s(pid) - c0) / IDLE_SAMPLE
    o0, c0, t0 = own_s(pid), children_s(pid), time.time()
    stamp = now_line("")
    for at in range(0, count, 1000):
        # Each line a second of its own, so that each costs one date run
        # (a run of lines stamped alike costs one in all).
        r.send_lines(*[(stamp + template if one_stamp else now_line(template % i, offset=i))
                       for i in range(at, min(count, at + 1000))])
    r.send_lines(now_line(CLOSING))
    r.wait_calls("email", closings, timeout=600)
    spent = time.time() - t0
    return (own_s(pid) - o0 - idle_own * spent, children_s(pid) - c0 - idle_kids * spent, spent)


def idle_per_hour(r, seconds):
    o0 = own_s(r.daemon_pid)
    time.sleep(seconds)
    return (own_s(r.daemon_pid) - o0) * 3600 / seconds


def row(name, value, goal, unit=""):
    print("%-52s %10.4f%s   goal %s" % (name, value, unit, goal))


def main():
    idle_seconds = int(sys.argv[1]) if len(sys.argv) > 1 else 60
    work = tempfile.mkdtemp(prefix="norvale-bench-")
    floor_bin = os.path.join(work, "spawn_floor")
    subprocess.check_call(["cc", "-O2", "-o", floor_bin, os.path.join(HERE, "spawn_floor.c")])
    floors = [floor_ms(floor_bin)]

    matching = 200
    noise = 100000
    # Both daemons run side by side; their bursts alternate so that the
    # machine's load falls on both alike.
    with start(nofile=1024) as low, start(nofile=20000) as high:
        spent = {1024: [0.0, 0.0], 20000: [0.0, 0.0]}
        state_writes = StateWrites(low.path("run/norvale-eventd"))
        for round_number in range(3):
            for limit, r in ((1024, low), (20000, high)):
                own, kids, _ = burst(r, MATCHING, matching, round_number + 1)
                spent[limit][0] += own
                spent[limit][1] += kids
            floors.append(floor_ms(floor_bin))
        high.stop()
        runs = 3 * matching
        m1024 = sum(spent[1024]) * 1000 / runs
        m20000 = sum(spent[20000]) * 1000 / runs
        own_per_run = spent[1024][0] * 1000 / runs
        r = low
        # Each matching line raises an event (counted in a storm once more
        # than five come in a minute); each closing line raises one too.
        per_event = state_writes.read() / (3 * (matching + 1))
        rss_before = rss_kb(r.daemon_pid)
        written = state_writes.read()
        own, kids, _ = burst(r, NOISE, noise, 4)
        # The closing line's event and its sending account for a few.
        per_noise = (state_writes.read() - written) / noise
        noise_ms = (own + kids) * 1000 / noise
        rss_after = rss_kb(r.daemon_pid)
        # Failed logins (each one an event, the storm limit counting all
        # but the first few), every line stamped alike.
        flood_lines = 20000
        own, kids, flood_s = burst(r, FLOOD, flood_lines, 5, one_stamp=True)
        flood_ms = (own + kids) * 1000 / flood_lines
        idle = idle_per_hour(r, idle_seconds)
        r.close_input()
        time.sleep(1.5)
        at_end = idle_per_hour(r, idle_seconds)
        r.stop()
    floors.append(floor_ms(floor_bin))
    floor = sum(floors) / len(floors)

    print("floor: %.3f ms CPU per run (%s)" % (floor, ", ".join("%.3f" % f for f in floors)))
    row("noise line / floor run", noise_ms / floor, "<= 0.05")
    row("matching line / floor run", m1024 / floor, "<= 1.10")
    row("daemon's own CPU per tool run / floor run", own_per_run / floor, "<= 0.04")
    row("per-line CPU, open-file limit 20000 / 1024", m20000 / m1024, "<= 1.10")
    row("daemon's own CPU idle", idle, "<= 1.5", " s/h")
    row("daemon's own CPU after the end of input", at_end, "<= 1.5", " s/h")
    row("resident memory", rss_after / 1024, "<= 3", " MB")
    row("resident memory growth over %d lines" % noise, rss_after - rss_before, "0", " kB")
    row("one-stamp flood, CPU per failed-login line / floor run", flood_ms / floor, "<= 0.02")
    row("one-stamp flood, lines handled a second", flood_lines / flood_s, "(reported)")
    row("kept-state writes per event", per_event, "(reported)")
    row("kept-state writes per noise line", per_noise, "0")


if __name__ == "__main__":
    main()
