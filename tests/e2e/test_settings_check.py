"""The settings check on the router (-t without a FILE reads the router's
own settings; the check logs nothing) and what the daemon itself does with
the same findings, an over-long line and a settings path that is not a
regular file. The check of files named on the command line:
tests/cli/test_command_line.py."""
import os
import pty
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools", "simrouter"))
sys.path.insert(0, os.path.join(HERE, "..", "support"))

from router import LOG_ERR, LOG_NOTICE, SOURCE_DIR, Router  # noqa: E402
from settings_cases import BAD, BAD_FINDINGS  # noqa: E402

SETTINGS = "/opt/norvale/etc/settings"
SAMPLE = os.path.join(SOURCE_DIR, "deploy", "settings.sample")


class Check(unittest.TestCase):
    def test_check_reads_the_router_settings_without_a_file_and_logs_nothing(self):
        with open(SAMPLE) as f:
            sample = f.read()
        with Router(settings=sample) as r:
            status, out, err = r.run("-t")
            self.assertEqual(status, 0, out + err)
            self.assertIn("%s: 0 problems, 0 notes\n" % SETTINGS, out)
            self.assertEqual(r.log.texts(), [])
            r.write_settings(BAD)
            status, _, _ = r.run("--check", SETTINGS)
            self.assertEqual(status, 1)
            self.assertEqual(r.log.texts(), [])


class StartUp(unittest.TestCase):
    def test_findings_are_logged_as_warnings_and_the_daemon_runs_on(self):
        with Router(settings=BAD) as r:
            r.start()
            r.wait_log("started")
            warnings = [rec for rec in r.log.all() if rec["text"].startswith("Warning: settings")]
            self.assertEqual([w["text"] for w in warnings],
                             ["Warning: settings line %d: %s" % f for f in BAD_FINDINGS])
            self.assertTrue(all(w["pri"] == LOG_NOTICE for w in warnings))
            self.assertEqual(r.stop(), 0)

    def test_at_most_20_findings_are_logged_then_a_count(self):
        unknown = "".join("MOD_NORVALE_UNKNOWN_%d=1\n" % n for n in range(25))
        with Router(settings="MOD_NORVALE_ENABLED=1\n" + unknown) as r:
            r.start()
            r.wait_log("started")
            texts = r.log.texts()
            self.assertEqual(len([t for t in texts if t.startswith("Warning: settings line")]), 20)
            self.assertIn("Warning: and 5 more settings findings", texts)
            self.assertEqual(r.stop(), 0)

    def test_key_hidden_past_the_line_buffer_sets_nothing(self):
        # The forged key begins at byte 16383 of the first line: read in
        # pieces, it would have enabled the daemon.
        head = "MOD_NORVALE_DEVICE_NAME="
        forged = head + "x" * (16383 - len(head)) + "MOD_NORVALE_ENABLED=1\n"
        with Router(settings=forged + "OTHER=1\n") as r:
            status, _, _ = r.run()
            self.assertEqual(status, 1)
            texts = r.log.texts()
            self.assertIn("Warning: settings line 1: line longer than 16383 bytes: "
                          "it is ignored whole", texts)
            self.assertEqual(len(r.log.find("module disabled, not starting")), 1)

    def test_fifo_in_place_of_the_settings_ends_start_up_at_once(self):
        with Router() as r:
            os.mkfifo(r.path("opt/norvale/etc/settings"))
            status, _, _ = r.run(timeout=30)
            self.assertEqual(status, 1)
            errors = r.log.find("Error: cannot read settings file %s: it is a FIFO, "
                                "not a regular file" % SETTINGS)
            self.assertEqual(len(errors), 1)
            self.assertEqual(errors[0]["pri"], LOG_ERR)
            self.assertEqual(len(r.log.find("module disabled, not starting")), 1)

    def test_start_up_messages_also_go_to_a_terminal(self):
        master, slave = pty.openpty()
        try:
            with Router(settings="MOD_NORVALE_ENABLD=1\n") as r:
                r.start(stderr=slave)
                os.close(slave)
                slave = None
                self.assertEqual(r.wait(), 1)
                shown = b""
                try:
                    while True:
                        chunk = os.read(master, 4096)
                        if not chunk:
                            break
                        shown += chunk
                except OSError:  # every writer has gone
                    pass
                lines = shown.decode().replace("\r", "").splitlines()
                self.assertIn("Warning: settings line 1: unknown key MOD_NORVALE_ENABLD; "
                              "did you mean MOD_NORVALE_ENABLED?", lines)
                self.assertIn("module disabled, not starting", lines)
                # A standard error that is no terminal gets nothing.
                _, _, err = r.run()
                self.assertEqual(err, "")
        finally:
            os.close(master)
            if slave is not None:
                os.close(slave)


if __name__ == "__main__":
    unittest.main()
