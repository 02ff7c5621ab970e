"""The sweep under Wine: an install over an earlier one, cut at every change it makes to the disk
(or at a sample of them).

corvalis-window-driver carries the fault seam of the test build's file functions
(src/platform/file_faults.h). One uncut run over the earlier install traces every change it
makes; then, for each of them (or a sample spread over the whole run, the first and the last
included), the install starts again from the earlier install and is cut there, once by ending
the process at once and once by failing that one call as a full disk would. After each cut the
panel folder holds exactly the old files or exactly the new ones (cut between the two renames
of the switch, the old panel is whole in its set-aside copy), and every plug-in and settings
document its old or its new bytes; a failed call ends the run with the message of its step (or
not at all, where the run may go on). Then an uncut run leaves exactly what the uncut run left,
and nothing else: no staged or set-aside copies, no run folders. Last, two installs start a
moment apart against a host that answers slowly: the second is refused with its message, and
the first installs whole.

    cut_install_test.py --window-driver DRIVER.exe --tool CORVALIS_RELEASE --emulator WINE_RUN
                        [--cuts N]

The Linux build walks every change of the same sweep (CutRun in tests/install).
"""

import argparse
import fcntl
import os
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path, PurePosixPath

sys.path.insert(0, str(Path(__file__).resolve().parent))
import terminal  # noqa: E402
from hostile_host import HostileHost, Publisher, host_content, scratch_folder  # noqa: E402
from sample_release import APP_FILES, LOADER_FILES  # noqa: E402

REPO = Path(__file__).resolve().parents[2]
DEVELOPMENT_KEY = REPO / "keys" / "development-release-key.pem"

PLACES = ["appdata", "Program Files", "Program Files (x86)", "temp"]
LOG = "temp/Corvalis Setup.log"
CEP = "appdata/Adobe/CEP"
PANEL = f"{CEP}/extensions/com.corvalisplugin.panel"
PREMIERE = "appdata/Adobe/Premiere Pro"

OLD_LOADER = {
    "CSXS/manifest.xml": b"<ExtensionManifest Version='6.0'/>\n",
    "index.html": b"<!doctype html><title>old</title>\n",
    "old/deep.txt": b"only in the old panel\n",
}
OLD_APP = {
    "host/Corvalis.acsrf": b"old control surface" * 100,
    "host/Corvalis_Importer.prm": b"old importer" * 1000,
}

# Premiere's settings as it leaves them, without the command bridge.
SETTINGS = ("<?xml version='1.0'?>\n<prop.map version='4'>\n<prop.list>\n"
            "<prop.pair>\n<key>ActivePluginIDs</key>\n<prop.list>\n</prop.list>\n</prop.pair>\n"
            "<prop.pair>\n<key>PluginList</key>\n<prop.list>\n</prop.list>\n</prop.pair>\n"
            "<prop.pair>\n<key>PluginSettingsList</key>\n<prop.list>\n</prop.list>\n"
            "</prop.pair>\n<prop.pair>\n<key>SettingsVersion</key>\n"
            "<int type='unsigned' size='32'>1</int>\n</prop.pair>\n</prop.list>\n"
            "</prop.map>\n").encode()

NOT_WRITTEN = "Couldn't write Corvalis into Premiere's extensions folder."
NOT_REPLACED = ("Couldn't replace the Corvalis panel that's already installed. Restart your "
                "computer and run Setup again.")
NOT_SAVED = ("Couldn't save a download in the temporary folder. Make sure the disk has free "
             "space, then run Setup again.")
PLUGINS = ("Premiere's plug-ins weren't added. Make sure Premiere Pro is closed, then run Setup "
           "again.")
BRIDGE = "Couldn't switch the command bridge on in Premiere's settings."
ALREADY_RUNNING = "Setup is already running. Finish it, then run Setup again."
REMOVED = "Corvalis was removed"
UNINSTALL_ENTRY = r"HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\Corvalis"
SHELL_FOLDERS = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\User Shell Folders"


def windows_path(path):
    """The path as a program under Wine names it: Wine's drive Z: is the Unix root."""
    return "Z:" + str(PurePosixPath(path)).replace("/", "\\")


def tree(sandbox):
    """Every entry beneath the places a run writes to, by path relative to the sandbox (the log,
    which every run extends, left out)."""
    entries = {}
    for place in PLACES:
        top = sandbox / place
        entries[place] = ("folder",)
        for folder, folders, names in os.walk(top):
            for name in folders + names:
                path = Path(folder) / name
                relative = path.relative_to(sandbox).as_posix()
                if relative == LOG:
                    continue
                if path.is_symlink():
                    entries[relative] = ("link", os.readlink(path))
                elif path.is_dir():
                    entries[relative] = ("folder",)
                else:
                    entries[relative] = ("file", path.read_bytes())
    return entries


def restore(sandbox, entries):
    for place in PLACES:
        for path in (sandbox / place).iterdir():
            if path.as_posix().endswith(LOG):
                continue
            if path.is_dir() and not path.is_symlink():
                shutil.rmtree(path)
            else:
                path.unlink()
    for relative, what in sorted(entries.items()):
        if what[0] == "folder":
            (sandbox / relative).mkdir(parents=True, exist_ok=True)
        elif what[0] == "file":
            (sandbox / relative).write_bytes(what[1])


def part(entries, top):
    """The entries at and beneath `top`, by paths relative to it."""
    return {path[len(top):]: what for path, what in entries.items()
            if path == top or path.startswith(top + "/")}


def set_aside_panel(entries):
    for path in entries:  # a whole copy: never one on its way out
        if re.fullmatch(re.escape(CEP) + r"/com\.corvalisplugin\.panel\.\d+\.corvalis-old", path):
            return part(entries, path)
    return {}


def any_digits(text):
    return re.sub(r"\d+", "#", text)


def failure_for(change):
    """What the run must answer when `change` ("operation path[ -> path]") fails as a full
    disk would: the message of its step, or None where the run goes on."""
    operation, _, path = change.partition(" ")
    target = path.split(" -> ")[-1]
    if "\\corvalis-setup-" in path:  # the run folder
        if operation == "create-folder":
            return f"Couldn't make the folder {path}."
        return NOT_SAVED if operation in ("open-for-writing", "write") else None
    if ("Corvalis Setup.log" in path or ".removed.corvalis-old" in path
            or operation == "delete" and ".corvalis-switch" in path
            or "Corvalis_Importer.prm" in path or "\\Program Files\\Corvalis\\" in path):
        # the log, the removal of what a switch replaced, one importer of four, the copy of
        # Setup kept for the uninstall once the install has worked
        return None
    if operation == "create-folder":
        return f"Couldn't make the folder {path}."
    # The panel's record, and the folder beside the extensions folder that holds it.
    panel_record = (operation == "flush" and path.endswith("\\Adobe\\CEP")
                    or "com.corvalisplugin.panel" in path and ".corvalis-switch" in path)
    if "com.corvalisplugin.panel" in path or panel_record:
        if panel_record or operation == "rename" and target.endswith(".corvalis-old"):
            return NOT_REPLACED
        if operation == "rename" and not target.endswith("\\com.corvalisplugin.panel"):
            return None  # a download's rename into the staged panel: it is copied instead
        return NOT_WRITTEN
    if "Corvalis.acsrf" in path:
        return None if operation == "rename" else PLUGINS  # a failed rename goes the long way
    if "ControlSurfaceSettings.xml" in path:
        return BRIDGE
    return "an unexpected change: " + change


class Sweep:
    def __init__(self, options):
        self.options = options
        self.work = scratch_folder("corvalis-cut-")
        self.sandbox = self.work / "sandbox"
        for place in PLACES:
            (self.sandbox / place).mkdir(parents=True)
        self.trace_file = self.work / "trace"
        # What an install keeps a copy of, in place of the driver's own megabytes.
        self.program = self.work / "setup-program.exe"
        self.program.write_bytes(b"MZ the program's own bytes")
        publisher = Publisher(options.tool, DEVELOPMENT_KEY, self.work / "publisher")
        old_root, new_root = self.work / "old-host", self.work / "new-host"
        publisher.publish(old_root, "loader", "1.4.1", OLD_LOADER)
        publisher.publish(old_root, "app", "2.0.0", OLD_APP)
        publisher.publish(new_root, "loader", "1.4.2", LOADER_FILES)
        publisher.publish(new_root, "app", "2.0.1", APP_FILES)
        self.new_root = new_root
        self.host = HostileHost().__enter__()
        self.old_site = self.host.site(host_content(old_root))
        self.new_site = self.host.site(host_content(new_root))
        self.saved_roaming = self.roaming_setting()

    def close(self):
        # A run ended at once could not put the user's roaming folder back.
        if self.saved_roaming is None:
            self.reg(["delete", SHELL_FOLDERS, "/v", "AppData", "/f"])
        else:
            self.reg(["add", SHELL_FOLDERS, "/v", "AppData", "/t", "REG_EXPAND_SZ", "/d",
                      self.saved_roaming, "/f"])
        self.host.__exit__(None, None, None)
        shutil.rmtree(self.work, ignore_errors=True)

    def reg(self, arguments):
        return subprocess.run([self.options.emulator, "reg"] + arguments, timeout=120,
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)

    def roaming_setting(self):
        shown = self.reg(["query", SHELL_FOLDERS, "/v", "AppData"]).stdout.decode("utf-8",
                                                                                   "replace")
        found = re.search(r"AppData\s+REG_\w+\s+(.+?)\s*$", shown, re.MULTILINE)
        return found.group(1) if found else None

    def start(self, site, mode="", at=0, uninstall=False):
        """One install (or uninstall) through the window, started."""
        if self.trace_file.exists():
            self.trace_file.unlink()
        command = [self.options.emulator, self.options.window_driver, "--base", site.base,
                   "--program", windows_path(self.program)]
        if uninstall:
            command.append("--uninstall")
        for option, folder in {"--roaming": "appdata", "--temp": "temp",
                               "--program-files": "Program Files",
                               "--program-files-x86": "Program Files (x86)"}.items():
            command += [option, windows_path(self.sandbox / folder)]
        env = dict(os.environ, CORVALIS_FAULT_MODE=mode, CORVALIS_FAULT_AT=str(at),
                   CORVALIS_FAULT_TRACE=windows_path(self.trace_file))
        return subprocess.Popen(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def finish(self, run, mode=""):
        """The final page's detail of a started run for a failure, None for success, "ended"
        for a run the seam ended."""
        stdout, stderr = run.communicate(timeout=300)
        shown = stdout.decode("utf-8", "replace").splitlines()
        if mode == "end" and run.returncode == 86:
            return "ended"
        pages = [i for i, line in enumerate(shown) if line.startswith("page: ")]
        if run.returncode != 0 or not pages:
            raise AssertionError(f"the driver answered {run.returncode}: {shown[-10:]} "
                                 f"{stderr[-2000:]!r}")
        final = shown[pages[-1]]
        if final in ("page: " + terminal.INSTALLED, "page: " + REMOVED):
            return None
        if final in ("page: " + terminal.FAILURE, "page: Corvalis wasn't removed"):
            return shown[pages[-1] + 1].removeprefix("detail: ")
        raise AssertionError(f"no final page: {shown[-10:]}")

    def run(self, site, mode="", at=0, uninstall=False):
        return self.finish(self.start(site, mode, at, uninstall), mode)

    def trace(self):
        lines = self.trace_file.read_text(encoding="utf-8").splitlines()
        return [line.partition(" ")[2] for line in lines]

    def sweep(self):
        problems = []
        # The earlier install, with settings that do not know the command bridge yet.
        for version in ("24.0", "25.0"):
            (self.sandbox / PREMIERE / version).mkdir(parents=True)
        if self.run(self.old_site) is not None:
            raise AssertionError("the earlier install failed")
        for version in ("24.0", "25.0"):
            (self.sandbox / PREMIERE / version / "ControlSurface" /
             "ControlSurfaceSettings.xml").write_bytes(SETTINGS)
        old = tree(self.sandbox)

        outcome = self.run(self.new_site)
        if outcome is not None:
            raise AssertionError(f"the uncut install failed: {outcome}")
        changes = self.trace()
        new = tree(self.sandbox)
        for path in new:
            if ".corvalis-" in path or path.startswith("temp/"):
                problems.append(f"the uncut run left {path}")
        committed = [path for path in old if path.endswith(
            ("/Corvalis.acsrf", "/Corvalis_Importer.prm", "/ControlSurfaceSettings.xml"))]
        if len(committed) != 7 or any(old[p] == new.get(p) for p in committed):
            raise AssertionError(f"the releases do not differ in every plug-in and document: "
                                 f"{committed}")
        if part(old, PANEL) == part(new, PANEL):
            raise AssertionError("the panels do not differ")

        count = self.options.cuts or len(changes)
        sample = sorted({round(1 + i * (len(changes) - 1) / max(count - 1, 1))
                         for i in range(count)})
        cuts = gaps = 0
        answers = {}
        for mode in ("end", "fail"):
            for at in sample:
                change = changes[at - 1]
                where = f"{mode} at change {at} of {len(changes)}: {change}"
                restore(self.sandbox, old)
                outcome = self.run(self.new_site, mode, at)
                cuts += 1
                if mode == "end" and outcome != "ended":
                    problems.append(f"{where}: not ended ({outcome})")
                if mode == "fail":
                    expected = failure_for(change)
                    if (any_digits(outcome) if outcome else None) != (
                            any_digits(expected) if expected else None):
                        problems.append(f"{where}: answered {outcome!r}, not {expected!r}")
                answers[outcome] = answers.get(outcome, 0) + 1
                cut = tree(self.sandbox)
                panel = part(cut, PANEL)
                if not panel and mode == "end" and change.startswith("rename ") and \
                        change.endswith("\\com.corvalisplugin.panel"):
                    # Cut between the two renames of the switch: the old panel is whole, aside.
                    gaps += 1
                    if set_aside_panel(cut) != part(old, PANEL):
                        problems.append(f"{where}: the old panel is not whole aside")
                elif panel not in (part(old, PANEL), part(new, PANEL)):
                    problems.append(f"{where}: the panel is neither old nor new: {sorted(panel)}")
                for path in committed:
                    if cut.get(path) not in (old[path], new[path]):
                        problems.append(f"{where}: {path} is neither old nor new")
                outcome = self.run(self.new_site)
                if outcome is not None:
                    problems.append(f"{where}: the next run failed: {outcome}")
                after = tree(self.sandbox)
                if after != new:
                    differ = sorted(p for p in set(after) | set(new) if after.get(p) != new.get(p))
                    problems.append(f"{where}: the next run left {differ}")
                if problems:
                    break
        print(f"cut install under Wine: {len(changes)} changes, {cuts} cuts at {sample}, "
              f"{gaps} between the panel's renames; answers: {answers}")
        return problems or self.race(old, new) or self.remove()

    def race(self, old, new):
        """Two installs a moment apart, against a host that answers every request slowly: the
        second starts once the first has asked for its first document, by which time it holds
        the lock. The second is refused with the message, on its Failure page and in the log;
        the first installs whole; the next run leaves the same and nothing else."""
        problems = []
        restore(self.sandbox, old)
        slow = self.host.site(host_content(self.new_root))
        for answers in slow.routes.values():
            for answer in answers:
                answer.delay = 0.5
        first = self.start(slow)
        deadline = time.monotonic() + 120
        while not slow.requests and first.poll() is None and time.monotonic() < deadline:
            time.sleep(0.05)
        second = self.start(slow)
        outcomes = (self.finish(first), self.finish(second))
        if outcomes != (None, ALREADY_RUNNING):
            problems.append(f"two installs a moment apart answered {outcomes}")
        log = (self.sandbox / LOG).read_text(encoding="utf-8", errors="replace")
        if "Failed: " + ALREADY_RUNNING not in log:
            problems.append("the refused install did not log its failure")
        if tree(self.sandbox) != new:
            problems.append("two installs a moment apart did not leave the new release")
        if self.run(self.new_site) is not None or tree(self.sandbox) != new:
            problems.append("the run after two installs a moment apart did not finish whole")
        print(f"two installs a moment apart under Wine: {outcomes}")
        return problems


    def entry(self):
        """The uninstall entry's values as `reg query` reads them back, {} when it is missing."""
        shown = self.reg(["query", UNINSTALL_ENTRY, "/reg:64"]).stdout.decode("utf-8", "replace")
        return dict(re.findall(r"^\s+(\w+)\s+REG_\w+\s+(.*?)\s*$", shown, re.MULTILINE))

    def remove(self):
        """An install, then an uninstall, through the window, on a machine where Premiere Pro
        has its folders and the user keeps settings: the entry reads back while installed, and
        afterwards the tree is as it was before the install (the temporary folder aside) and the
        entry is gone."""
        problems = []
        restore(self.sandbox, {})
        for folder in ("appdata/Adobe/CEP/extensions", "appdata/Adobe/Premiere Pro/25.0",
                       "Program Files/Adobe/Common/Plug-ins/ControlSurface",
                       "Program Files/Adobe/Common/Plug-ins/7.0/MediaCore",
                       "Program Files/Common Files/Adobe/Plug-ins/7.0/MediaCore",
                       "Program Files (x86)/Adobe/Common/Plug-ins/7.0/MediaCore",
                       "Program Files (x86)/Common Files/Adobe/Plug-ins/7.0/MediaCore"):
            (self.sandbox / folder).mkdir(parents=True, exist_ok=True)
        (self.sandbox / PREMIERE / "24.0" / "ControlSurface").mkdir(parents=True)
        (self.sandbox / PREMIERE / "24.0" / "ControlSurface" /
         "ControlSurfaceSettings.xml").write_bytes(SETTINGS.replace(b"\n", b"\r\n"))
        before = {path: what for path, what in tree(self.sandbox).items()
                  if not path.startswith("temp/")}
        if self.run(self.new_site) is not None:
            return ["the install before the uninstall failed"]
        copy = windows_path(self.sandbox / "Program Files" / "Corvalis" / "corvalis-setup.exe")
        values = self.entry()
        expected = {"DisplayName": "Corvalis for Premiere Pro", "DisplayVersion": "2.0.1",
                    "Publisher": "Corvalis", "DisplayIcon": copy + ",0",
                    "UninstallString": f'"{copy}" --uninstall',
                    "QuietUninstallString": f'"{copy}" --uninstall --silent',
                    "NoModify": "0x1", "NoRepair": "0x1"}
        if any(values.get(name) != value for name, value in expected.items()) or \
                "EstimatedSize" not in values:
            problems.append(f"the uninstall entry reads back as {values}")
        outcome = self.run(self.new_site, uninstall=True)
        if outcome is not None:
            problems.append(f"the uninstall failed: {outcome}")
        after = {path: what for path, what in tree(self.sandbox).items()
                 if not path.startswith("temp/")}
        if after != before:
            differ = sorted(p for p in set(after) | set(before) if after.get(p) != before.get(p))
            problems.append(f"the uninstall left {differ}")
        if self.entry():
            problems.append("the uninstall entry is still there")
        print(f"install and uninstall under Wine: entry {values.get('DisplayVersion')}, "
              f"{len(before)} entries before and after")
        return problems


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--window-driver", required=True)
    parser.add_argument("--tool", required=True)
    parser.add_argument("--emulator", required=True)
    # A sample of this many changes, spread over the whole run; 0 cuts at every one.
    parser.add_argument("--cuts", type=int, default=0)
    options = parser.parse_args()
    # Install runs wait while anything named like Premiere runs; the unit tests that start such
    # a process hold this lock meanwhile.
    with open("/tmp/corvalis-tests-premiere.lock", "a") as lock:
        fcntl.flock(lock, fcntl.LOCK_SH)
        sweep = Sweep(options)
        try:
            problems = sweep.sweep()
        finally:
            sweep.close()
    for problem in problems:
        print("FAILED:", problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
