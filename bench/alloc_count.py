#!/usr/bin/env python3
"""Shows that the daemon allocates nothing per cycle or per line: runs it
under valgrind on the simulated router twice, once briefly and once three
times longer with more log lines and e-mails, and prints the heap totals of
both runs (children are not traced). Equal totals mean that all storage was
set aside at start-up.

Usage: alloc_count.py [BUILD_DIR]   (root; needs valgrind)
"""
import glob
import os
import re
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tools", "simrouter"))
from router import Router, now_line  # noqa: E402

SETTINGS = {"MOD_NORVALE_ENABLED": "1",
            "MOD_NORVALE_EVENT_CONFIG_CHANGED_SUBSCRIBE_MAIL_GROUP_1": "1",
            "MOD_NORVALE_MAIL_GROUP_1_ADDR_1": "ops@example.org"}


def heap_total(build, seconds, lines):
    work = tempfile.mkdtemp(prefix="norvale-alloc-")
    wrapper = os.path.join(work, "daemon")
    with open(wrapper, "w") as f:
        f.write("#!/bin/sh\nexec valgrind --log-file=%s/vg.log %s/norvale-eventd \"$@\"\n" % (work, build))
    os.chmod(wrapper, 0o755)
    with Router(settings=SETTINGS) as r:
        r.daemon = wrapper
        r.start()
        r.wait_log("started", timeout=30)
        time.sleep(seconds)
        r.send_lines(*[now_line("cfg: user 'u%d' updated configuration of LAN" % i) for i in range(lines)])
        r.wait_calls("email", lines, timeout=60)
        r.stop(timeout=30)
    with open(os.path.join(work, "vg.log")) as f:
        found = re.search(r"total heap usage: ([\d,]+) allocs, ([\d,]+) frees", f.read())
    for name in glob.glob(os.path.join(work, "*")):
        os.unlink(name)
    os.rmdir(work)
    return found.group(0) if found else "no heap summary"


if __name__ == "__main__":
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "..", "build"))
    print(" 4 s idle,  2 lines:", heap_total(build, 4, 2))
    print("14 s idle, 10 lines:", heap_total(build, 14, 10))
