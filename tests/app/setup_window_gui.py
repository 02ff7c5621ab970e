#!/usr/bin/env python3
"""The real Windows program under Wine, on an X server (run inside xvfb-run), driven with the
keyboard like a user: Install, then Close; then --uninstall, Remove, then Close; and against a
host that fails, Install, Try again, Close. It reads the page texts back with dialog-probe.exe and saves a PNG of every page in the
output folder for a person to look at; the Progress page's is taken mid-download, while the host
holds back the second half of the control-surface plug-in, with the bar between 35 and 70.

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
import os
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
        successful_install(session)
        fresh_wine()
        uninstall(session)
        fresh_wine()
        failed_install(session)
        fresh_wine()
        planted_dlls(session)
    finally:
        subprocess.run([wineserver, "-k"], timeout=30, **quiet)
    print(f"screenshots in {options.out}")


if __name__ == "__main__":
    main()
