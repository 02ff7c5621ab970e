"""The POSIX program's window, driven through a pseudo-terminal like a user at a keyboard.

    result = press_install_in_terminal(["corvalis-setup", "--base", url], env, timeout=180)

Waits for the Welcome page, presses Enter (Install, the default button), waits for the
Installed or the Failure page, reads it, presses Esc (which closes every page) and waits for
the program to end. The terminal is 80 columns wide, as a user's usually is: the window wraps
longer texts, and `wrapped` reads them back as the user does.
"""

import fcntl
import os
import pty
import re
import select
import struct
import subprocess
import termios
import threading
import time

WELCOME = "Install Corvalis for Premiere Pro"
INSTALLED = "Corvalis is installed"
FAILURE = "Corvalis wasn't installed"
KEY_HELP = "Enter: press the marked button"
# Control sequences: CSI (cursor moves, erasing, colours), and lone escapes.
CONTROL = re.compile(r"\x1b\[[0-9;?]*[A-Za-z]|\x1b.")


class TerminalResult:
    exit_code = None
    page = None      # INSTALLED or FAILURE; None when neither came
    lines = ()       # the last screen's text lines, control sequences removed
    stderr = ""
    screen_text = ""  # everything written, control sequences removed


def press_install_in_terminal(command, env, timeout):
    result = TerminalResult()
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 50, 80, 0, 0))
    process = subprocess.Popen(command, stdin=slave, stdout=slave, stderr=subprocess.PIPE,
                               env=env, start_new_session=True)
    os.close(slave)
    errors = []
    reader = threading.Thread(target=lambda: errors.append(process.stderr.read()), daemon=True)
    reader.start()
    screen = Output(master, time.monotonic() + timeout)
    try:
        if screen.read_until([WELCOME]):
            os.write(master, b"\r")
            result.page = screen.read_until([INSTALLED, FAILURE])
            if result.page:
                # The rest of the frame that drew the page: it ends with the key help line.
                screen.read_until([KEY_HELP])
                os.write(master, b"\x1b")
        try:
            result.exit_code = process.wait(max(1, screen.deadline - time.monotonic()))
        except subprocess.TimeoutExpired:
            process.kill()
            result.exit_code = process.wait()
        # What the program wrote after the page was matched (it may draw the page again).
        screen.read_to_end()
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
        os.close(master)
        reader.join(10)
    result.stderr = (errors[0] if errors else b"").decode("utf-8", "replace")
    text = screen.text()
    result.screen_text = text
    if result.page:
        result.lines = last_frame(text, result.page)
    return result


def wrapped(text):
    """A pattern that matches `text` as the window shows it at any width: each line break the
    window adds stands for a space, or falls inside a word longer than a line."""
    pattern = ""
    for character, following in zip(text, text[1:] + "\n"):
        if character == " ":
            pattern += "[ \n]"
        else:
            pattern += re.escape(character)
            if character != "\n" and following not in " \n":
                pattern += "\n?"
    return pattern


def last_frame(text, heading):
    """The lines of the last whole frame that shows `heading`: from the heading to the key help
    line that ends every frame. A frame cut short (the program ended while drawing it) does not
    count; the page it was drawing is the one an earlier frame shows."""
    end = len(text)
    while True:
        at = text.rfind(heading, 0, end)
        if at < 0:
            return []
        frame = text[at:]
        help_line = frame.find(KEY_HELP)
        next_heading = frame.find(heading, len(heading))
        if help_line >= 0 and (next_heading < 0 or help_line < next_heading):
            frame = frame[:help_line]
            return [line.strip() for line in frame.replace("\r", "").split("\n")]
        end = at


class Output:
    """What the program has written to the terminal, read on demand."""

    def __init__(self, master, deadline):
        self.master, self.deadline = master, deadline
        self.written = bytearray()
        self.seen = 0  # where the text not yet matched by read_until begins

    def text(self):
        return CONTROL.sub("", self.written.decode("utf-8", "replace"))

    def read_until(self, texts):
        """Reads until one of `texts` appears after what earlier calls matched; that text, or
        None when the program ended or the time ran out first."""
        while time.monotonic() < self.deadline:
            text = self.text()
            found = [(text.find(t, self.seen), t) for t in texts if text.find(t, self.seen) >= 0]
            if found:
                at, wanted = min(found)
                self.seen = at + len(wanted)
                return wanted
            if self.read_some(0.1) is False:
                return None
        return None

    def read_to_end(self):
        """Reads what is left, once the program has ended and its side of the terminal closed."""
        while self.read_some(1):
            pass

    def read_some(self, seconds):
        """Adds what the program writes within `seconds`: True when something came, None when
        nothing did, False when the program has ended and closed its side of the terminal."""
        ready, _, _ = select.select([self.master], [], [], seconds)
        if not ready:
            return None
        try:
            chunk = os.read(self.master, 65536)
        except OSError:  # every writer has closed the terminal
            chunk = b""
        self.written.extend(chunk)
        return bool(chunk)
