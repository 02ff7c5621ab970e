"""The real program in check mode against a real release host (nginx on loopback).

Run by ctest for the Linux build and, through Wine, for the Windows build:
    check_test.py PROGRAM TOOL [EMULATOR WINEPREFIX]
"""

import glob
import os
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from release_host import ReleaseHost  # noqa: E402
from sample_release import APP_FILES, LOADER_FILES  # noqa: E402

PROGRAM, TOOL = sys.argv[1], sys.argv[2]
EMULATOR = sys.argv[3] if len(sys.argv) > 4 else None
WINEPREFIX = sys.argv[4] if len(sys.argv) > 4 else None

UNSIGNED = "A download from corvalisplugin.com wasn't signed by Corvalis, so nothing was installed."
NONSENSE = "A release list from corvalisplugin.com didn't make sense."
DAMAGED = "A download arrived damaged. Run Setup again."
OFFLINE = "Couldn't download Corvalis. Check your internet connection and run Setup again."


class CheckRun(unittest.TestCase):
    def setUp(self):
        self.sandbox = Path(tempfile.mkdtemp(prefix="corvalis-e2e-"))
        self.temp = self.sandbox / "temp"
        self.appdata = self.sandbox / "appdata"
        self.temp.mkdir()
        self.appdata.mkdir()
        self.host = ReleaseHost(TOOL).__enter__()
        self.host.publish("loader", "1.4.2", LOADER_FILES)
        self.host.publish("app", "2.0.1", APP_FILES)
        self.log_start = len(self.read_log())

    def tearDown(self):
        self.host.__exit__(None, None, None)
        subprocess.run(["rm", "-rf", str(self.sandbox)])

    def log_path(self):
        if WINEPREFIX:
            # Wine takes the temporary folder from the prefix's registry, not from TMP.
            found = glob.glob(os.path.join(WINEPREFIX, "drive_c", "users", "*", "Temp"))
            return Path(found[0]) / "Corvalis Setup.log" if found else self.temp / "missing"
        return self.temp / "Corvalis Setup.log"

    def temp_folder(self):
        return self.log_path().parent

    def read_log(self):
        path = self.log_path()
        return path.read_bytes() if path.exists() else b""

    def new_log_lines(self):
        text = self.read_log()[self.log_start:].decode("utf-8")
        self.assertTrue(text.endswith("\r\n"), "every line ends in CR LF")
        lines = text.split("\r\n")[:-1]
        for line in lines:
            self.assertRegex(line, r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d ")
        return [line[20:] for line in lines]

    def run_check(self, *extra):
        env = dict(os.environ, TMPDIR=str(self.temp), APPDATA=str(self.appdata),
                   HOME=str(self.sandbox))
        command = ([EMULATOR] if EMULATOR else []) + [PROGRAM, "--check", "--base", self.host.url]
        result = subprocess.run(command + list(extra), env=env, timeout=120,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.assert_echoed(result.stderr)
        return result.returncode

    def assert_echoed(self, stderr):
        """The Linux build echoes the run's log lines on standard error, each ended by LF alone;
        the log keeps its bytes. The Windows build, a GUI program, stays silent."""
        run = self.read_log()[self.log_start:]
        if EMULATOR:
            self.assertNotIn(b"Checking from", stderr)
        else:
            self.assertTrue(run)
            self.assertEqual(stderr.replace(b"\n", b"\r\n"), run)

    def assert_no_run_folder(self):
        self.assertEqual(glob.glob(str(self.temp_folder() / "corvalis-setup-*")), [])

    def test_a_genuine_host_passes(self):
        self.assertEqual(self.run_check(), 0)
        self.assertEqual(self.new_log_lines(), [
            f"Checking from {self.host.url}",
            "Installed the loader 1.4.2",
            "Check passed: loader 1.4.2, app 2.0.1",
        ])
        self.assert_no_run_folder()
        self.assertEqual(list(self.appdata.iterdir()), [], "the user's folders are untouched")
        requests = self.host.requests()
        self.assertIn("GET /loader/1.4.2/files/js/main%20file.js", requests)
        self.assertIn("GET /loader/1.4.2/files/img/caf%C3%A9.png", requests)
        self.assertNotIn("GET /app/2.0.1/files/host/readme.txt", requests)
        self.assertLess(requests.index("GET /loader/1.4.2/release.sig"),
                        requests.index("GET /loader/1.4.2/release.json"))

    def assert_fails_with(self, message):
        self.assertEqual(self.run_check(), 1)
        lines = self.new_log_lines()
        self.assertEqual(lines[0], f"Checking from {self.host.url}")
        self.assertEqual(lines[-1], "Check failed: " + message)
        self.assertEqual(sum(line.startswith("Check failed: ") for line in lines), 1)
        self.assert_no_run_folder()

    def test_a_list_changed_after_signing_is_unsigned(self):
        listing = self.host.path("loader/1.4.2/release.json")
        listing.write_bytes(listing.read_bytes() + b"\n")
        self.assert_fails_with(UNSIGNED)

    def test_a_damaged_file_is_refused(self):
        self.host.path("app/2.0.1/files/host/Corvalis.acsrf").write_bytes(b"tampered")
        self.assert_fails_with(DAMAGED)

    def test_a_missing_release_fails_after_one_request(self):
        self.host.path("app/channels/stable.json").write_text('{"version":"9.9"}')
        self.assert_fails_with(OFFLINE)
        lines = self.new_log_lines()
        failed = [line for line in lines if " failed (status " in line]
        # One attempt only: a 404 is not retried.
        self.assertEqual(len(failed), 1)
        self.assertRegex(failed[0], rf"^GET {self.host.url}/app/9\.9/release\.sig "
                                    r"failed \(status 404, error \d+\)$")
        self.assertNotIn("GET /app/9.9/release.json", self.host.requests())

    def test_a_channel_version_that_breaks_the_rule(self):
        for document in ('{"version":"1.4.2 "}', '{"version":1.4}', "{}", "not json"):
            with self.subTest(document=document):
                self.host.path("loader/latest.json").write_text(document)
                self.log_start = len(self.read_log())
                self.assert_fails_with(NONSENSE)

    def test_a_loader_list_for_another_version(self):
        self.host.publish("loader", "1.4.3", LOADER_FILES, channel=False)
        self.host.path("loader/1.4.3/release.json").rename(self.host.path("x.json"))
        # The 1.4.2 folder now holds a genuine list that says 1.4.3.
        for name in ("release.json", "release.sig"):
            self.host.path(f"loader/1.4.2/{name}").unlink()
        self.host.path("x.json").rename(self.host.path("loader/1.4.2/release.json"))
        self.host.path("loader/1.4.3/release.sig").rename(
            self.host.path("loader/1.4.2/release.sig"))
        self.assert_fails_with(NONSENSE)
        self.assertFalse(any("/files/" in r for r in self.host.requests()),
                         "nothing is downloaded from a list for another version")


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], "-v"])
