#!/usr/bin/env python3
"""Cost of system-log lines and of idling, measured on the real daemon.

burst: 200 matching lines written at once; prints the daemon's own CPU time
per line (from /proc/PID/schedstat, nanoseconds) beside the CPU time of its
date children per line (cutime + cstime), and checks every line was handled.
idle:  the daemon's own CPU time over a number of idle seconds, scaled to one
hour, and its children's CPU time apart.

Usage: log_burst.py burst | idle [SECONDS]   (root; uses tools/simrouter)
"""
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tools", "simrouter"))
from router import Router, now_line  # noqa: E402

TICK = os.sysconf("SC_CLK_TCK")


def own_ns(pid):
    with open("/proc/%d/schedstat" % pid) as f:
        return int(f.read().split()[0])


def children_s(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[13]) + int(fields[14])) / TICK  # cutime, cstime


def router():
    # Configuration changes are not subscribed (each such line costs exactly
    # its date child); one subscribed password change closes the burst.
    r = Router(settings={"MOD_NORVALE_ENABLED": "1",
                         "MOD_NORVALE_EVENT_PASSWORD_CHANGED_SUBSCRIBE_MAIL_GROUP_1": "1",
                         "MOD_NORVALE_MAIL_GROUP_1_ADDR_1": "ops@example.org"})
    r.start()
    r.wait_log("started")
    time.sleep(1.5)
    return r


def window(pid, seconds):
    ns0, ch0 = own_ns(pid), children_s(pid)
    time.sleep(seconds)
    return (own_ns(pid) - ns0) / 1e9, children_s(pid) - ch0


def burst(lines=200):
    with router() as r:
        pid = r.daemon_pid
        idle_own, idle_kids = window(pid, 4)
        ns0, ch0 = own_ns(pid), children_s(pid)
        began = time.time()
        r.send_lines(*[now_line("cfg: user 'u%d' updated configuration of LAN" % i) for i in range(lines)])
        r.send_lines(now_line("passwd[1]: pam_unix(passwd:chauthtok): password changed for admin"))
        r.wait_calls("email", 1, timeout=120)
        handled_in = time.time() - began
        time.sleep(max(0.0, 4 - handled_in))
        spent = max(4.0, time.time() - began)
        own = (own_ns(pid) - ns0) / 1e9 - idle_own * spent / 4
        kids = children_s(pid) - ch0 - idle_kids * spent / 4
        print("%d lines handled in %.2f s (the closing line's mail arrived)" % (lines, handled_in))
        print("daemon own CPU per line:  %.3f ms (idle floor subtracted)" % (own * 1000 / lines))
        print("children CPU per line:    %.3f ms (one sh -c date child per line)" % (kids * 1000 / lines))
        print("ratio own / child:        %.3f (target under 0.1)" % (own / kids if kids > 0 else float("nan")))
        r.stop()


def idle(seconds=300):
    with router() as r:
        pid = r.daemon_pid
        ns0, ch0 = own_ns(pid), children_s(pid)
        time.sleep(seconds)
        own = (own_ns(pid) - ns0) / 1e9
        kids = children_s(pid) - ch0
        print("idle for %d s" % seconds)
        print("daemon own CPU:     %.3f s  -> %.2f s per hour" % (own, own * 3600 / seconds))
        print("children CPU:       %.3f s  -> %.2f s per hour (the per-second date child)"
              % (kids, kids * 3600 / seconds))
        r.stop()


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "idle":
        idle(int(sys.argv[2]) if len(sys.argv) > 2 else 300)
    else:
        burst()
