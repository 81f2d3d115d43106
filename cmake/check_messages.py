"""Checks that the manual page lists every message the daemon can log.

Every log_message(PRIORITY, "format" ...) call in the sources (calls over
several lines and formats split into adjacent literals included) must have an
entry in the MESSAGES section of the page: a .TP or .TQ heading whose text is
the format, with each printf conversion standing as any word (N, status, %s),
followed by " (err)" for LOG_ERR, " (warning)" for LOG_WARNING and nothing
for LOG_NOTICE.

    check_messages.py SOURCE_DIR MANPAGE
"""
import os
import re
import sys

FOLDERS = ("core", "config", "sources", "notify", "net")
CONVERSION = re.compile(r"%[-+ #0]*\d*(?:\.\d+)?(?:hh|h|ll|l|z|j|t)?[diouxXsScpfeEgG]")
MARKS = {"LOG_ERR": " (err)", "LOG_WARNING": " (warning)", "LOG_NOTICE": ""}
ESCAPES = [(r"\(aq", "'"), (r"\(dq", '"'), (r"\-", "-"), (r"\&", ""), (r"\e", "\\"),
           (r"\fB", ""), (r"\fI", ""), (r"\fR", ""), (r"\fP", "")]


def c_literals(text, pos):
    """The adjacent C string literals from pos on, joined; None if there is none."""
    parts = []
    while True:
        while True:
            m = re.compile(r"\s+|//[^\n]*|/\*.*?\*/", re.S).match(text, pos)
            if not m:
                break
            pos = m.end()
        if pos >= len(text) or text[pos] != '"':
            break
        end = pos + 1
        chars = []
        while text[end] != '"':
            if text[end] == "\\":
                chars.append({"n": "\n", "t": "\t", "\\": "\\", '"': '"', "'": "'"}.get(text[end + 1], text[end + 1]))
                end += 2
            else:
                chars.append(text[end])
                end += 1
        parts.append("".join(chars))
        pos = end + 1
    return "".join(parts) if parts else None


def logged_messages(source_dir):
    """(file, line, priority, format) of every log_message call."""
    found = []
    for folder in FOLDERS:
        for root, _, files in os.walk(os.path.join(source_dir, folder)):
            for name in sorted(files):
                if not name.endswith((".cc", ".h")) or name.endswith("_test.cc"):
                    continue
                path = os.path.join(root, name)
                text = open(path, encoding="utf-8", errors="replace").read()
                for m in re.finditer(r"\blog_message\s*\(\s*([A-Za-z_0-9]+)\s*,", text):
                    fmt = c_literals(text, m.end())
                    if fmt is not None:
                        line = text.count("\n", 0, m.start()) + 1
                        found.append((path, line, m.group(1), fmt))
    return found


def troff_args(text):
    args, pos = [], 0
    while pos < len(text):
        if text[pos] == " ":
            pos += 1
        elif text[pos] == '"':
            end = pos + 1
            arg = []
            while end < len(text):
                if text[end] == '"':
                    if text[end + 1:end + 2] == '"':
                        arg.append('"')
                        end += 2
                        continue
                    break
                arg.append(text[end])
                end += 1
            args.append("".join(arg))
            pos = end + 1
        else:
            end = text.find(" ", pos)
            end = len(text) if end < 0 else end
            args.append(text[pos:end])
            pos = end
    return args


def plain(line):
    """The text a heading line shows."""
    m = re.match(r"\.(B|I|BR|RB|BI|IB|RI|IR)\s+(.*)$", line)
    if m:
        args = troff_args(m.group(2))
        line = (" " if m.group(1) in ("B", "I") else "").join(args)
    for escape, char in ESCAPES:
        line = line.replace(escape, char)
    return line


def headings(manpage):
    lines = open(manpage, encoding="utf-8").read().splitlines()
    inside, found = False, []
    for previous, line in zip(lines, lines[1:]):
        if line.startswith(".SH"):
            inside = line.strip() == ".SH MESSAGES"
        elif inside and previous.startswith((".TP", ".TQ")):
            found.append(plain(line))
    return found


def pattern(fmt, priority):
    pieces = [re.escape(p.replace("%%", "%")) for p in CONVERSION.split(fmt)]
    mark = re.escape(MARKS[priority]) if priority in MARKS else r"(?: \((?:err|warning)\))?"
    return re.compile("^" + r"\S+".join(pieces) + mark + "$")


def main():
    source_dir, manpage = sys.argv[1], sys.argv[2]
    entries = headings(manpage)
    messages = logged_messages(source_dir)
    missing = 0
    for path, line, priority, fmt in messages:
        wanted = pattern(fmt, priority)
        if not any(wanted.match(h) for h in entries):
            print("%s:%d: %s %r has no entry in MESSAGES of %s" % (path, line, priority, fmt, manpage))
            missing += 1
    if not messages:
        print("no log_message call found under %s" % source_dir)
        return 1
    return 1 if missing else 0


if __name__ == "__main__":
    sys.exit(main())
