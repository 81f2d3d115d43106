"""Checks the sample settings file against the manual page.

Every line of the sample must be empty, a comment the settings reader skips
(it has no comment syntax: only a line without '=' is skipped), or a
KEY=VALUE line whose key the manual page documents, each key once.

    check_settings_sample.py SAMPLE MANPAGE
"""
import re
import sys

EVENTS = ["CONFIG_CHANGED", "PASSWORD_CHANGED", "LOGIN_FAILED", "ETH0_DISCONNECTED",
          "ETH1_DISCONNECTED", "ETH2_DISCONNECTED", "SYSTEM_REBOOT", "TEST_EVENT"]
PLACEHOLDERS = {"EVENT": EVENTS, "G": ["1", "2", "3", "4"], "N": [str(n) for n in range(1, 9)]}


def documented_keys(manpage):
    """Keys named at the head of a .TP entry: ".B KEY" or ".BI KEY_ PLACEHOLDER _REST"."""
    keys = set()
    lines = open(manpage).read().splitlines()
    for previous, line in zip(lines, lines[1:]):
        if previous != ".TP" or not re.match(r"\.BI? MOD_NORVALE_", line):
            continue
        parts = line.split()[1:]
        names = [""]
        for i, part in enumerate(parts):
            # .BI alternates bold text and italic placeholders.
            choices = PLACEHOLDERS[part] if line.startswith(".BI") and i % 2 else [part]
            names = [n + c for n in names for c in choices]
        keys.update(names)
    return keys


def problems(sample, keys):
    seen = set()
    for number, line in enumerate(open(sample).read().split("\n"), 1):
        where = "%s:%d" % (sample, number)
        if not line.strip():
            continue
        if line.startswith("#"):
            if "=" in line:
                yield "%s: a comment holding '=' is read as a setting" % where
            continue
        key, eq, value = line.partition("=")
        if not eq:
            yield "%s: neither a comment nor KEY=VALUE" % where
        elif key != key.strip() or value != value.strip():
            yield "%s: blanks around '=' belong to the key or the value" % where
        elif key.upper() not in keys:
            yield "%s: %s is no documented key" % (where, key)
        elif key.upper() in seen:
            yield "%s: %s again (the first line wins)" % (where, key)
        seen.add(key.upper())


def main():
    sample, manpage = sys.argv[1:3]
    # That the manual documents exactly the daemon's keys is a unit test of
    # the table of keys (config/settings_test.cc).
    keys = documented_keys(manpage)
    found = list(problems(sample, keys))
    for p in found:
        print(p)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
