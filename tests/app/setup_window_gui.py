#!/usr/bin/env python3
"""The real Windows program under Wine, on an X server (run inside xvfb-run), driven with the
keyboard like a user: Install, then Close; then --uninstall, Remove, then Close; and against a
host that fails, Install, Try again, Close. It reads the page texts back with dialog-probe.exe and saves a PNG of every page in the
output folder for a person to look at; the Progress page's is taken mid-download, while the host
holds back the second half of the control-surface plug-in, with the bar between 35 and 70.
Installed, the uninstall entry's values are read back with `reg query`; removed, it is gone.

Then the same install and uninstall with --silent, which must end with 0 and leave the window's
end states and log lines, also with --log FILE; and --silent's failures, with their exit codes:
1618 while Premiere Pro runs (a copy of Wine's cmd.exe named so) and while a window's install
waiting for it holds the run lock, 1603 against hosts that fail and with a --log that can't be
written (--check: 1), 1 for a refused --base.

    setup_window_gui.py --program corvalis-setup.exe --probe dialog-probe.exe --wine wine-run
                        --release-tool corvalis-release --key KEYFILE --prefix WINEPREFIX
                        --out FOLDER --planted-dll planted.dll --bare-program bare-program.exe
                        --bare-program-user32 bare-program-user32.exe

Then the program is run as it is from a Downloads folder where someone has left DLLs named like
system ones (planted.dll, which writes NAME.dll.loaded beside itself when it is loaded), with
Wine told to prefer such native DLLs: a check and an install through the window must complete,
and not one of them may be loaded. Wine's own DLLs resolve their imports through the program's
folder, as Windows does not for System32's DLLs: the DLLs that Wine loads that way beside
bare-program.exe (which imports kernel32 alone and uses WinHTTP as the program does) and
bare-program-user32.exe (which imports user32 too, a KnownDLL) are reported and left out.

The release is published with the Linux build's corvalis-release (exit code 77, a skip, when it
has not been built). Every Wine process of the private prefix is killed at the end, whatever
happens, so the test cannot leave anything running.
"""

import argparse
import fcntl
import hashlib
import os
import re
import select
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import xwd_to_png  # noqa: E402
from release_folder_host import start_host  # noqa: E402


class Session:
    def __init__(self, options):
        self.options = options
        self.environment = dict(os.environ, WINEPREFIX=options.prefix)
        self.program = None
        # The program run and the folder it starts in.
        self.program_path = options.program
        self.cwd = None

    def wine(self, *arguments, **extra):
        return subprocess.run([self.options.wine, *arguments], env=self.environment,
                              capture_output=True, timeout=60, **extra)

    def page_texts(self):
        """The lines dialog-probe prints, or None while there is no window."""
        result = self.wine(self.options.probe)
        if result.returncode != 0:
            return None
        return result.stdout.decode("utf-8").splitlines()

    def wait_for(self, heading, timeout=90):
        deadline = time.monotonic() + timeout
        texts = None
        while time.monotonic() < deadline:
            if self.program and self.program.poll() is not None:
                raise AssertionError(f"the program ended with {self.program.returncode} while "
                                     f"waiting for {heading!r}; last seen: {texts}")
            texts = self.page_texts()
            if texts and "Static: " + heading in texts:
                return texts
            time.sleep(0.2)
        raise AssertionError(f"no page headed {heading!r} within {timeout} s; last seen: {texts}")

    def current_window(self):
        """The X window that shows the Setup window now: mapped, named "Corvalis Setup" and made
        by the program this test started (Wine sets _NET_WM_PID to its process). Looked up for
        every action, never kept: a window found earlier may be gone, and another process's
        window of the same name must not get our keys or be photographed."""
        deadline = time.monotonic() + 30
        windows = []
        while time.monotonic() < deadline:
            found = subprocess.run(["xdotool", "search", "--all", "--onlyvisible", "--pid",
                                    str(self.program.pid), "--name", "^Corvalis Setup$"],
                                   capture_output=True, text=True)
            windows = found.stdout.split()
            if len(windows) == 1:
                return windows[0]
            time.sleep(0.2)
        raise AssertionError(f"no single mapped X window of Corvalis Setup: {windows}")

    def keys(self, *names):
        """Types the keys as a user would: into the window that has the keyboard focus, once it
        is the Setup window. The keys are sent to no window by name: the dialog acts on a key's
        press, so the key that closes it destroys its X window before the release is sent, and
        an event sent to that window would fail."""
        for name in names:
            window = self.current_window()
            deadline = time.monotonic() + 30
            while True:
                focus = subprocess.run(["xdotool", "getwindowfocus", "-f"], capture_output=True,
                                       text=True).stdout.strip()
                if focus == window:
                    break
                expect(time.monotonic() < deadline,
                       f"the keyboard focus is on X window {focus}, not on Setup's {window}")
                time.sleep(0.2)
            subprocess.run(["xdotool", "key", name], check=True)

    def screenshot(self, name):
        dump = os.path.join(self.options.out, name + ".xwd")
        with open(dump, "wb") as out:
            subprocess.run(["xwd", "-silent", "-id", self.current_window()], stdout=out,
                           check=True)
        xwd_to_png.convert(dump, os.path.join(self.options.out, name + ".png"))
        os.remove(dump)
        print(f"saved {name}.png")


def expect(condition, what):
    if not condition:
        raise AssertionError(what)


def run_program(session, port=None, options=()):
    base = ["--base", f"http://127.0.0.1:{port}"] if port else []
    session.program = subprocess.Popen(
        [session.options.wine, session.program_path, *base, *options],
        env=session.environment, cwd=session.cwd, stdin=subprocess.DEVNULL,
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return session.program


def wait_for_exit(program):
    try:
        return program.wait(timeout=30)
    except subprocess.TimeoutExpired:
        raise AssertionError("the program did not end after its window was closed")


def bar_position(texts):
    """The progress bar's position in the probe's lines, or None when there is no bar."""
    for line in texts or []:
        if line.startswith("progress: "):
            return int(line[len("progress: "):])
    return None


def wine_user_folder(session):
    """The profile folder of the user Wine runs programs as, in the prefix."""
    users = os.path.join(session.options.prefix, "drive_c", "users")
    names = [name for name in os.listdir(users) if name != "Public"]
    expect(len(names) == 1, f"not one Wine user in {users}: {names}")
    return os.path.join(users, names[0])


def successful_install(session, screenshots=True):
    """An install through the window. No desktop shell runs, as none does under Wine: the program
    finds the user signed in to its session, the account Wine runs it as, and installs the panel
    into that user's roaming folder."""
    user = wine_user_folder(session)
    panel = os.path.join(user, "AppData", "Roaming", "Adobe", "CEP", "extensions",
                         "com.corvalisplugin.panel")
    shutil.rmtree(panel, ignore_errors=True)
    gate = os.path.join(session.options.out, "gate")
    host = start_host(session.options.release, delay=0.5 if screenshots else 0.0, failing=False,
                      hold=("Corvalis.acsrf", gate) if screenshots else None)
    program = run_program(session, host.server_address[1])
    try:
        texts = session.wait_for("Install Corvalis for Premiere Pro")
        expect("Button: Install" in texts and "Button: Cancel" in texts, f"Welcome page: {texts}")
        if screenshots:
            session.screenshot("1-welcome")

        session.keys("Return")  # the default button: Install
        if screenshots:
            texts = session.wait_for("Installing Corvalis", timeout=20)
            expect(bar_position(texts) is not None, f"no progress bar: {texts}")
            # Half of the control-surface plug-in arrives and the rest waits for the gate: the bar
            # stands between the loader's milestone and the app's. The picture is taken once the
            # bar has passed 50 (about where the held half ends), or a few seconds after it moved.
            deadline = time.monotonic() + 30
            moved = None
            while True:
                if 35 < (bar_position(texts) or 0) < 70:
                    moved = moved or time.monotonic()
                    if bar_position(texts) >= 50 or time.monotonic() - moved >= 5:
                        break
                expect(time.monotonic() < deadline, f"the bar did not move past 35: {texts}")
                time.sleep(0.2)
                texts = session.page_texts()
            expect("Static: Downloading..." in texts, f"Progress page mid-download: {texts}")
            session.screenshot("2-progress")
            print(f"bar at {bar_position(texts)} mid-download")
            open(gate, "w").close()

        texts = session.wait_for("Corvalis is installed")
        expect("Static: In Premiere Pro, open Window > Extensions > Corvalis Library." in texts,
               f"Installed page: {texts}")
        buttons = [line for line in texts if line.startswith("Button: ")]
        expect(len(buttons) == 1 and "Close" in buttons[0], f"Installed page buttons: {buttons}")
        if screenshots:
            session.screenshot("3-installed")
        expect(os.path.isfile(os.path.join(panel, "CSXS", "manifest.xml")),
               f"no panel in the Wine user's roaming folder: {panel}")
        last = read_log(session)[-1]
        expect(last.endswith(" Done"), f"the log's last line: {last!r}")

        session.keys("Return")  # Close, the only button
        expect(wait_for_exit(program) == 0, "closing the window must end the program with 0")
    finally:
        open(gate, "w").close()  # lets a held answer end
        host.shutdown()
        if program.poll() is None:
            program.kill()
        os.remove(gate)


def read_log(session):
    """The lines of the setup log in the Wine user's temporary folder."""
    with open(os.path.join(wine_user_folder(session), "Temp", "Corvalis Setup.log"),
              encoding="utf-8") as log:
        return log.read().splitlines()


UNINSTALL_ENTRY = r"HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\Corvalis"
PREMIERE_OPEN = "Premiere Pro is open. Close it, then run Setup again."
ALREADY_RUNNING = "Setup is already running. Finish it, then run Setup again."
NOT_DOWNLOADED = "Couldn't download Corvalis. Check your internet connection and run Setup again."


def log_messages(path, after=0):
    """The lines of a log after the first `after`, without their time, each with its CR LF."""
    try:
        with open(path, "rb") as log:
            return [line[20:] for line in log.read().splitlines(keepends=True)[after:]]
    except FileNotFoundError:
        return []


def usual_log(session):
    return os.path.join(wine_user_folder(session), "Temp", "Corvalis Setup.log")


def end_state(session):
    """What Setup leaves where it writes: every path beneath the prefix's Program Files folders
    and the Wine user's roaming folder, each file with its size and digest; and the uninstall
    entry's values as `reg query` reads them in the 64-bit view, or None when there is none."""
    roots = [os.path.join(session.options.prefix, "drive_c", name)
             for name in ("Program Files", "Program Files (x86)")]
    roots.append(os.path.join(wine_user_folder(session), "AppData", "Roaming"))
    paths = {}
    for root in roots:
        for folder, folders, files in os.walk(root):
            for name in folders:
                paths[os.path.join(folder, name)] = None
            for name in files:
                with open(os.path.join(folder, name), "rb") as file:
                    content = file.read()
                paths[os.path.join(folder, name)] = (len(content),
                                                     hashlib.sha256(content).hexdigest())
    entry = session.wine("reg", "query", UNINSTALL_ENTRY, "/reg:64")
    values = None
    if entry.returncode == 0:
        # "    NAME    TYPE    VALUE" lines under the key's own.
        values = dict((parts[0], tuple(parts[1:])) for parts in
                      (line.strip().split("    ") for line in
                       entry.stdout.decode("utf-8").splitlines()) if len(parts) == 3)
    return paths, values


def expect_registered(session, installed, removed):
    """The copy of Setup the install kept and the uninstall entry it wrote, as Windows lists it,
    against what it placed; and both gone after the uninstall."""
    entry = installed[1]
    copy = r"C:\Program Files\Corvalis\corvalis-setup.exe"
    kept = os.path.join(session.options.prefix, "drive_c", "Program Files", "Corvalis")
    with open(session.options.program, "rb") as program:
        expect(installed[0].get(os.path.join(kept, "corvalis-setup.exe"), (0, ""))[1] ==
               hashlib.sha256(program.read()).hexdigest(), "no copy of Setup kept")
    expect(kept not in removed[0], "the kept copy's folder is still there")
    placed = sum(file[0] for path, file in installed[0].items() if file and path not in removed[0])
    expected = {
        "DisplayName": ("REG_SZ", "Corvalis for Premiere Pro"),
        "DisplayVersion": ("REG_SZ", "2.1.0"),
        "Publisher": ("REG_SZ", "Corvalis"),
        "DisplayIcon": ("REG_SZ", copy + ",0"),
        "InstallLocation": ("REG_SZ", r"C:\Program Files\Corvalis"),
        "UninstallString": ("REG_SZ", f'"{copy}" --uninstall'),
        "QuietUninstallString": ("REG_SZ", f'"{copy}" --uninstall --silent'),
        "NoModify": ("REG_DWORD", "0x1"),
        "NoRepair": ("REG_DWORD", "0x1"),
        "EstimatedSize": ("REG_DWORD", hex((placed + 1023) // 1024)),
    }
    expect(entry == expected, f"the uninstall entry: {entry}, not {expected}")
    expect(removed[1] is None, f"the uninstall entry is still there: {removed[1]}")
    print("reg query read the uninstall entry back installed, and found none removed: "
          + ", ".join(f"{name}={value}" for name, (_, value) in sorted(entry.items())))


def uninstall(session):
    """--uninstall through the window, after the install: its own first page, Remove, and its end
    page. It asks no release host."""
    before = len(read_log(session))
    program = run_program(session, options=("--uninstall",))
    try:
        texts = session.wait_for("Remove Corvalis from Premiere Pro")
        expect("Button: Remove" in texts and "Button: Cancel" in texts, f"Remove page: {texts}")
        expect(not any("Install" in line for line in texts), f"Remove page: {texts}")
        session.screenshot("5-remove")

        session.keys("Return")  # the default button: Remove
        texts = session.wait_for("Corvalis was removed")
        buttons = [line for line in texts if line.startswith("Button: ")]
        expect(len(buttons) == 1 and "Close" in buttons[0], f"Removed page buttons: {buttons}")
        session.screenshot("6-removed")
        lines = read_log(session)[before:]
        expect(any(line.endswith(" Removing") for line in lines) and lines[-1].endswith(" Done"),
               f"the uninstall's log lines: {lines}")

        session.keys("Return")  # Close, the only button
        expect(wait_for_exit(program) == 0, "closing the window must end the program with 0")
    finally:
        if program.poll() is None:
            program.kill()


def exit_code(session, *arguments):
    """Runs the program with the arguments and no window and returns its whole exit code, read
    by cmd: Wine's own exit status keeps only its low eight bits. The command line reaches cmd in
    a variable, so that no path of it goes through a batch file's character set."""
    batch = os.path.join(session.options.out, "exit-code.cmd")
    with open(batch, "w", newline="") as out:
        out.write("@%CORVALIS_RUN%\r\n@echo exit code %ERRORLEVEL%\r\n")
    command = " ".join(f'"{argument}"' for argument in (windows_path(session.program_path),
                                                         *arguments))
    result = subprocess.run([session.options.wine, "cmd", "/c", windows_path(batch)],
                            env=dict(session.environment, CORVALIS_RUN=command),
                            stdin=subprocess.DEVNULL, capture_output=True, timeout=180)
    found = re.search(rb"exit code (-?\d+)", result.stdout)
    expect(found, f"no exit code from cmd: {result.stdout!r}")
    return int(found.group(1))


def windows_path(path):
    """The path as a program under Wine names it: Wine's drive Z: is the Unix root."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def start_premiere(session):
    """A program named as Premiere Pro, without a window: a copy of Wine's cmd.exe that waits on
    standard input once it has said it runs, and ends when that closes. A program under Wine is a
    process of this machine too, named so for the Linux build's install runs: while it runs, it
    holds whole the turn that tests running install runs share (its `turn`, closed to end it)."""
    turn = open("/tmp/corvalis-tests-premiere.lock", "a")
    fcntl.flock(turn, fcntl.LOCK_EX)
    folder = os.path.join(session.options.out, "premiere")
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, "Adobe Premiere Pro.exe")
    shutil.copyfile(os.path.join(session.options.prefix, "drive_c", "windows", "system32",
                                 "cmd.exe"), path)
    premiere = subprocess.Popen([session.options.wine, path, "/k", "echo Premiere runs"],
                                env=session.environment, stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    premiere.turn = turn
    deadline, said = time.monotonic() + 90, b""
    while b"Premiere runs" not in said:
        waited = select.select([premiere.stdout], [], [], max(0, deadline - time.monotonic()))
        said += os.read(premiere.stdout.fileno(), 4096) if waited[0] else b""
        expect(waited[0] and premiere.poll() is None,
               f"the program named as Premiere Pro did not start: {said!r}")
    return premiere


def silent_runs(session, installed, removed, window_lines):
    """--silent after the window's install and uninstall; see the module's description."""
    options = session.options
    log = usual_log(session)
    host = start_host(options.release)
    port = host.server_address[1]
    base = ("--base", f"http://127.0.0.1:{port}")
    premiere = None

    def refused(code, last, *arguments):
        """A run that changes nothing, ends with `code` and logs `last` last (None: nothing
        in the usual log)."""
        before, lines = end_state(session), len(log_messages(log))
        got = exit_code(session, *arguments)
        expect(got == code, f"{arguments}: exit code {got}, not {code}")
        expect(end_state(session) == before, f"{arguments}: changed what Setup installs")
        logged = log_messages(log, lines)
        if last is None:
            expect(not logged, f"{arguments}: logged {logged}")
        else:
            expect(logged[-1:] == [f"Failed: {last}\r\n".encode()],
                   f"{arguments}: logged {logged}, not Failed: {last}")
        print(f"{' '.join(arguments)}: exit code {got}" + (f", logged Failed: {last}"
                                                          if last else ""))

    try:
        # The same runs, to the same end states and log lines (the host's port aside).
        chosen = os.path.join(options.out, "deploy logs", "Corvalis.log")
        os.makedirs(os.path.dirname(chosen))
        for into, extra in ((log, ()), (chosen, ("--log", windows_path(chosen)))):
            at, usual = len(log_messages(into)), len(log_messages(log))
            for mode, state in (((), installed), (("--uninstall",), removed)):
                code = exit_code(session, "--silent", *base, *mode, *extra)
                expect(code == 0, f"--silent {mode} {extra}: exit code {code}")
                expect(end_state(session) == state,
                       f"--silent {mode} {extra}: not the window's end state")
            lines = [re.sub(rb":\d+\r", b":PORT\r", line) for line in log_messages(into, at)]
            expect(lines == window_lines, f"--silent {extra}: the log lines {lines}, not the "
                   f"window's {window_lines}")
            expect(into == log or len(log_messages(log)) == usual, "--log: the usual log grew")
            print(" ".join(("--silent install and uninstall", *extra)) + ": exit code 0, the "
                  "window's end states and log lines")
        with open(chosen, "rb") as written:
            expect(all(re.fullmatch(rb"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d [^\r\n]+\r\n", line)
                       for line in written.read().splitlines(keepends=True)),
                   "--log: a line not as the log writes it")

        premiere = start_premiere(session)
        refused(1618, PREMIERE_OPEN, "--silent", *base)
        refused(1618, PREMIERE_OPEN, "--silent", *base, "--uninstall")
        # A window's install holds the run lock while it waits for Premiere Pro to close.
        program = run_program(session, port)
        session.wait_for("Install Corvalis for Premiere Pro")
        session.keys("Return")
        session.wait_for("Close Premiere Pro to continue")
        refused(1618, ALREADY_RUNNING, "--silent", *base)
        refused(1618, ALREADY_RUNNING, "--silent", *base, "--uninstall")
        premiere.stdin.close()
        expect(premiere.wait(timeout=60) == 0, "the program named as Premiere Pro did not end")
        premiere.turn.close()
        session.wait_for("Corvalis is installed")
        session.keys("Return")
        expect(wait_for_exit(program) == 0, "closing the window must end the program with 0")
        expect(end_state(session) == installed, "the window's install after the wait: not its "
               "end state")
        # Installed now: a refused run takes nothing away either.
        not_a_folder = os.path.join(options.out, "not a folder")
        open(not_a_folder, "w").close()
        unwritable = windows_path(os.path.join(not_a_folder, "Corvalis.log"))
        refused(1603, None, "--silent", *base, "--log", unwritable)
        refused(1603, None, "--silent", *base, "--uninstall", "--log", unwritable)
        refused(1, None, "--check", *base, "--log", unwritable)
        refused(1, None, "--silent", *base, "--base", "http://corvalisplugin.example")
    finally:
        if premiere and premiere.poll() is None:
            premiere.kill()
            premiere.wait()
        if premiere:
            premiere.turn.close()
        host.shutdown()
        host.server_close()  # nothing listens at its port from now on
    # Hosts that fail the install: answering 404 or 503 to everything, or none at all.
    for status in (404, 503, None):
        host = start_host(options.release, status=status) if status else None
        try:
            refused(1603, NOT_DOWNLOADED, "--silent", "--base",
                    f"http://127.0.0.1:{host.server_address[1] if host else port}")
        finally:
            if host:
                host.shutdown()


def failed_install(session):
    host = start_host(session.options.release, delay=0.0, failing=True)
    program = run_program(session, host.server_address[1])
    try:
        session.wait_for("Install Corvalis for Premiere Pro")
        session.keys("Return")
        texts = session.wait_for("Corvalis wasn't installed")
        # The detail is the message, a blank line and the log's path, as the probe prints it.
        message = "Static: A release list from corvalisplugin.com didn't make sense."
        expect(message in texts, f"Failure page: {texts}")
        at = texts.index(message)
        expect(texts[at + 1] == "" and texts[at + 2].startswith("Log: ") and
               texts[at + 2].endswith("\\Corvalis Setup.log"), f"Failure page: {texts}")
        expect("Button: Try again" in texts, f"Failure page buttons: {texts}")
        session.screenshot("4-failure")
        # Wine gives the program the prefix's own temporary folder: find the log by its path.
        log_path = session.wine("winepath", "-u", texts[at + 2][len("Log: "):]).stdout
        log_path = log_path.decode("utf-8").strip()

        def failed_lines():
            with open(log_path, encoding="utf-8") as log:
                return [line for line in log.read().splitlines() if " Failed: " in line]

        before = len(failed_lines())
        expect(before >= 1 and failed_lines()[-1].endswith(message[len("Static: "):]),
               f"the log's last Failed line: {failed_lines()[-1:]}")

        session.keys("Return")  # Try again, the default: a whole new run that fails again
        deadline = time.monotonic() + 60
        while len(failed_lines()) < before + 1:
            expect(time.monotonic() < deadline, "Try again did not run a second install run")
            time.sleep(0.2)
        session.wait_for("Corvalis wasn't installed")

        session.keys("Tab", "Return")  # from Try again to Close
        expect(wait_for_exit(program) == 0, "closing the window must end the program with 0")
    finally:
        host.shutdown()
        if program.poll() is None:
            program.kill()


# DLLs an attacker would leave beside an installer: the ones Windows looks for in the program's
# folder first when a program or a DLL it loads asks for them (none is a KnownDLL).
PLANTED = ("winhttp", "bcrypt", "version", "uxtheme", "dwmapi", "cryptbase", "propsys", "userenv",
           "secur32", "sspicli")


def plant(folder, dll, names):
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    for name in names:
        shutil.copyfile(dll, os.path.join(folder, name + ".dll"))


def loaded(folder):
    return sorted(name[:-len(".dll.loaded")].lower() for name in os.listdir(folder)
                  if name.lower().endswith(".dll.loaded"))


def planted_dlls(session):
    """Runs the program from a folder with planted DLLs; see the module's description."""
    options = session.options
    overrides = ",".join(PLANTED) + "=n,b"
    environment = dict(session.environment, WINEDLLOVERRIDES=overrides)

    wines_own = set()
    for bare, arguments in ((options.bare_program, []), (options.bare_program_user32, [])):
        folder = os.path.join(options.out, "planted-" + os.path.basename(bare)[:-len(".exe")])
        plant(folder, options.planted_dll, PLANTED)
        shutil.copyfile(bare, os.path.join(folder, os.path.basename(bare)))
        subprocess.run([options.wine, os.path.join(folder, os.path.basename(bare)), *arguments],
                       env=environment, cwd=folder, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
        for name in loaded(folder):
            print(f"Wine loads the planted {name}.dll beside {os.path.basename(bare)} on its own "
                  "(its own DLLs resolve their imports through the program's folder; Windows "
                  "does not): left out below")
            wines_own.add(name)

    folder = os.path.join(options.out, "planted")
    names = [name for name in PLANTED if name not in wines_own]
    plant(folder, options.planted_dll, names)
    program = os.path.join(folder, "corvalis-setup.exe")
    shutil.copyfile(options.program, program)
    planted_session = Session(options)
    planted_session.environment = environment
    planted_session.program_path = program
    planted_session.cwd = folder

    host = start_host(options.release, delay=0.0, failing=False)
    try:
        # A planted DLL has none of the real one's functions: a program that calls into one
        # crashes, and Wine's crash handler can hold it for good (and the pipes of whoever
        # reads its output: so nobody does).
        check = subprocess.run([options.wine, program, "--check", "--base",
                                f"http://127.0.0.1:{host.server_address[1]}"],
                               env=environment, cwd=folder, stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
        result = check.returncode
    except subprocess.TimeoutExpired:
        result = "no end within 120 s"
    finally:
        host.shutdown()
    expect(not loaded(folder), f"the check loaded planted DLLs: {loaded(folder)}")
    expect(result == 0, f"the check beside planted DLLs ended with {result}")
    successful_install(planted_session, screenshots=False)
    expect(not loaded(folder), f"the install loaded planted DLLs: {loaded(folder)}")
    print(f"planted beside the program and never loaded: {', '.join(names)}")


def main():
    parser = argparse.ArgumentParser()
    for name in ("program", "probe", "wine", "release-tool", "key", "prefix", "out", "planted-dll",
                 "bare-program", "bare-program-user32"):
        parser.add_argument("--" + name, required=True)
    options = parser.parse_args()
    if not os.access(options.release_tool, os.X_OK):
        print(f"skipped: {options.release_tool} has not been built (build the linux preset)")
        sys.exit(77)
    shutil.rmtree(options.out, ignore_errors=True)
    os.makedirs(options.out)
    options.release = os.path.join(options.out, "release")
    subprocess.run(["sh", os.path.join(HERE, "publish_test_release.sh"), options.release_tool,
                    options.key, options.release], check=True, timeout=60)
    session = Session(options)
    wineserver = "/usr/lib/wine/wineserver"
    if not os.path.exists(wineserver):
        wineserver = shutil.which("wineserver")
    quiet = dict(env=session.environment, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                 stderr=subprocess.DEVNULL)

    def fresh_wine():
        # Each program gets a Wine session of its own, fully started (by one probe run to its
        # end) before the program starts: a program and a probe starting a session together
        # sometimes hung, or the program never showed its window. The server is started without
        # our pipes: one started by a probe whose output we read would hold the pipe open.
        subprocess.run([wineserver, "-k"], timeout=30, **quiet)
        subprocess.run([wineserver, "-w"], timeout=30, **quiet)
        subprocess.run([wineserver, "-p60"], timeout=30, **quiet)
        subprocess.run([options.wine, options.probe], timeout=120, **quiet)

    try:
        # Makes the private prefix on first use. Wine draws the title bar itself when no window
        # manager runs, so the screenshots show it.
        subprocess.run([options.wine, "reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v",
                        "Managed", "/d", "N", "/f"], timeout=300, **quiet)
        fresh_wine()
        at = len(log_messages(usual_log(session)))
        successful_install(session)
        installed = end_state(session)
        fresh_wine()
        uninstall(session)
        removed = end_state(session)
        expect_registered(session, installed, removed)
        window_lines = [re.sub(rb":\d+\r", b":PORT\r", line)
                        for line in log_messages(usual_log(session), at)]
        fresh_wine()
        silent_runs(session, installed, removed, window_lines)
        fresh_wine()
        failed_install(session)
        fresh_wine()
        planted_dlls(session)
    finally:
        subprocess.run([wineserver, "-k"], timeout=30, **quiet)
    print(f"screenshots in {options.out}")


if __name__ == "__main__":
    main()
