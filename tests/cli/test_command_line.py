"""The command-line answers of the built daemon: help, version, refused
start-up delays, the settings check of a file named on the command line and
the status where no daemon runs.
Each one answers and exits before the daemon touches anything of the
router, so these are plain runs of the binary, for any user, with settings
files in a scratch folder.

That these answers write nothing to syslog, and that -t without a FILE reads
the router's own settings, is checked on the simulated router
(tests/e2e/test_startup.py, tests/e2e/test_settings_check.py)."""
import json
import os
import subprocess
import sys
import tempfile
import unittest

SOURCE_DIR = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "support"))

from settings_cases import BAD, BAD_FINDINGS  # noqa: E402

DAEMON = os.environ.get("NORVALE_DAEMON", os.path.join(SOURCE_DIR, "build", "norvale-eventd"))
SAMPLE = os.path.join(SOURCE_DIR, "deploy", "settings.sample")

USAGE = ("Usage:\n{0} [STARTUP DELAY IN SECONDS]\n{0} --confirm [STARTUP DELAY IN SECONDS]\n"
         "{0} -t|--check [FILE]\n{0} --status [--json]\n{0} -h|--help|--version\n").format(DAEMON)
# Each option opens a line of the help.
OPTIONS = ("STARTUP DELAY IN SECONDS", "--confirm", "-t, --check [FILE]", "--status [--json]",
           "--version", "-h, --help")


def run(*args):
    """Runs the daemon with args; (status, standard output, standard error)."""
    done = subprocess.run([DAEMON] + list(args), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True, timeout=10)
    return done.returncode, done.stdout, done.stderr


class CommandLine(unittest.TestCase):
    def test_help_prints_usage_and_every_option_and_exits_0(self):
        for arg in ("-h", "--help"):
            with self.subTest(arg):
                status, out, _ = run(arg, "ignored")
                self.assertEqual(status, 0)
                self.assertTrue(out.startswith(USAGE + "\n"), out)
                starts = [line.strip() for line in out.splitlines() if line.startswith("  ")]
                for option in OPTIONS:
                    self.assertTrue(any(line.startswith(option + " ") for line in starts), option)

    def test_invalid_delays_are_refused_with_status_1(self):
        for arg in ("5s", "0x10", "5 ", "-H", "---help", "abc"):
            with self.subTest(arg):
                status, out, _ = run(arg)
                self.assertEqual(status, 1, arg)
                self.assertEqual(out, ("Invalid startup delay: %s\n" % arg) + USAGE)

    def test_version_is_printed(self):
        status, out, _ = run("--version")
        self.assertEqual(status, 0)
        self.assertRegex(out, r"^norvale-eventd \d+\.\d+\.\d+\n$")

    def test_status_where_no_daemon_keeps_one_is_not_running_exit_3(self):
        if os.path.exists("/run/norvale-eventd"):
            self.skipTest("a daemon keeps its state on this machine")
        status, out, _ = run("--status")
        self.assertEqual(status, 3)
        self.assertTrue(out.startswith("norvale-eventd is not running: no status in /run/norvale-eventd\n"), out)
        status, out, _ = run("--status", "--json")
        self.assertEqual(status, 3)
        got = json.loads(out)
        self.assertEqual((got["state"], got["running"], got["exit_status"]), ("absent", False, 3))


class Check(unittest.TestCase):
    def setUp(self):
        scratch = tempfile.TemporaryDirectory(prefix="norvale-cli-")
        self.addCleanup(scratch.cleanup)
        self.dir = scratch.name

    def settings_file(self, text):
        path = os.path.join(self.dir, "settings")
        with open(path, "w") as f:
            f.write(text)
        return path

    def test_sample_settings_pass_the_check(self):
        with open(SAMPLE) as f:
            path = self.settings_file(f.read())
        status, out, err = run("-t", path)
        self.assertEqual(status, 0, out + err)
        self.assertIn("%s: 0 problems, 0 notes\n" % path, out)
        self.assertIn("  TEST_EVENT: SNMP to 192.0.2.10:162; mail group 1 "
                      "(noc@example.net, oncall@example.net); SMS (+15550100)\n", out)

    def test_bad_file_gives_1_and_each_problem_on_its_line(self):
        path = self.settings_file(BAD)
        status, out, _ = run("--check", path)
        self.assertEqual(status, 1)
        lines = [l for l in out.splitlines() if l.startswith(path + ":")]
        self.assertEqual(lines[:-1], ["%s:%d: %s" % (path, n, t) for n, t in BAD_FINDINGS])
        self.assertEqual(lines[-1], "%s: 3 problems, 0 notes" % path)
        self.assertIn("  SNMPv3 privacy pass phrase: ********\n", out)
        self.assertNotIn("secretpassword", out)

    def test_file_that_is_not_regular_gives_2(self):
        path = os.path.join(self.dir, "settings")
        os.mkfifo(path)
        status, _, err = run("-t", path)
        self.assertEqual(status, 2)
        self.assertEqual(err, "%s: cannot read: it is a FIFO, not a regular file\n" % path)


if __name__ == "__main__":
    unittest.main()
