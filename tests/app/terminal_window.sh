#!/usr/bin/env bash
# The real Linux program in a terminal (tmux), driven with the keyboard like a user: the Welcome,
# Progress and Installed pages against a local release host; --uninstall's first page, where
# Cancel removes nothing, and Remove, to its end page; then the Failure page and Try again
# against a host that fails, and the refusal without a terminal. Each screen is saved as
# text in OUT for a person to look at; the Progress page mid-download, while the host holds back
# the second half of the control-surface plug-in, with the bar between 35 and 70.
#   terminal_window.sh PROGRAM RELEASE_TOOL KEY_FILE OUT
set -euo pipefail
program=$1 tool=$2 key=$3 out=$4
here=$(cd "$(dirname "$0")" && pwd)
# The temporary folder, where the log goes, has a space and a letter beyond ASCII in its path and
# a folder name longer than the terminal is wide: wherever the project lives, the Failure page
# must break the log's path inside a word and show all of it.
temp="$out/tmp/Temp – Zoë/a-folder-whose-name-is-longer-than-the-terminal-is-wide-so-the-window-breaks-it-inside-the-word"
rm -rf "$out"
mkdir -p "$out/home" "$temp" "$out/appdata" "$out/program-files"
socket=
runs=0
host_pid=

cleanup() {
  [ -n "$socket" ] && tmux -L "$socket" kill-server 2>/dev/null || true
  [ -n "$host_pid" ] && kill "$host_pid" 2>/dev/null || true
}
trap cleanup EXIT

fail() {
  echo "FAILED: $*" >&2
  echo "--- last screen:" >&2
  tmux -L "$socket" capture-pane -p -t setup >&2 2>/dev/null || true
  exit 1
}

start_host() {  # start_host [--failing | --hold NAME --gate FILE]: serves $out/release, sets $port
  [ -n "$host_pid" ] && kill "$host_pid" 2>/dev/null || true
  rm -f "$out/port"
  python3 "$here/release_folder_host.py" --root "$out/release" --port-file "$out/port" \
    --delay 0.3 "$@" &
  host_pid=$!
  for _ in $(seq 100); do [ -s "$out/port" ] && break; sleep 0.1; done
  port=$(cat "$out/port")
}

start_program() {  # start_program [OPTION...]: the program with --base and the options
  rm -f "$out/exit-code"
  # A tmux server of its own for each run; the installer's folders all point into $out; the
  # window gets a 90 by 30 terminal. The command goes to tmux as words, not through a shell, so
  # no path needs quoting.
  [ -n "$socket" ] && tmux -L "$socket" kill-server 2>/dev/null || true
  runs=$((runs + 1))
  socket=corvalis-terminal-test-$$-$runs
  tmux -u -L "$socket" -f /dev/null new-session -d -s setup -x 90 -y 30 \
    env HOME="$out/home" TMPDIR="$temp" APPDATA="$out/appdata" \
    ProgramFiles="$out/program-files" ProgramW6432="$out/program-files" \
    bash -c '"$@"; echo $? >"$0"; sleep 30' "$out/exit-code" \
    "$program" --base "http://127.0.0.1:$port" "$@"
}

screen() { tmux -L "$socket" capture-pane -p -t setup; }

# True when the screen on standard input shows each TEXT as the user reads it: the window wraps
# its texts at the terminal's width, so a text may go on over several lines.
shows() {  # shows TEXT... <SCREEN
  python3 -c '
import re, sys
sys.path.insert(0, sys.argv[1])
from terminal import wrapped
screen = sys.stdin.read()
sys.exit(0 if all(re.search(wrapped(text), screen) for text in sys.argv[2:]) else 1)
' "$here/../e2e" "$@"
}

# Waits until TEXT is on a whole frame: every frame ends with the key help line, and a frame
# is drawn over the last one from the top, so a screen caught mid-frame lacks that line.
wait_for() {  # wait_for TEXT [SECONDS]
  local deadline=$((SECONDS + ${2:-30}))
  while [ $SECONDS -lt $deadline ]; do
    screen | shows "$1" "Esc: close" && return 0
    sleep 0.1
  done
  fail "no \"$1\" on the screen"
}

save() { screen >"$out/$1.txt"; echo "saved $1.txt"; }

expect_on_screen() { screen | shows "$1" || fail "expected \"$1\" on the screen"; }
expect_not_on_screen() { ! screen | shows "$1" || fail "did not expect \"$1\" on the screen"; }

wait_for_exit() {
  for _ in $(seq 100); do [ -s "$out/exit-code" ] && break; sleep 0.1; done
  [ -s "$out/exit-code" ] || fail "the program did not end after its window was closed"
  [ "$(cat "$out/exit-code")" = 0 ] || fail "exit code $(cat "$out/exit-code") after closing"
}

sh "$here/publish_test_release.sh" "$tool" "$key" "$out/release"

# --- A successful install: Welcome, Progress, Installed, Close.
start_host --hold Corvalis.acsrf --gate "$out/gate"
start_program
wait_for "Install Corvalis for Premiere Pro"
expect_on_screen ">[ Install ]<"
expect_on_screen "[ Cancel ]"
save 1-welcome
tmux -L "$socket" send-keys -t setup Enter
wait_for "Installing Corvalis"
# Half of the control-surface plug-in arrives and the rest waits for the gate: on a whole
# frame, the bar stands between the loader's milestone and the app's. The screen is kept once
# the bar has passed 50 (about where the held half ends), or a few seconds after it moved.
deadline=$((SECONDS + 30)) moved=
while :; do
  frame=$(screen)
  percent=$(printf '%s\n' "$frame" | grep -o '\] [0-9]*%' | tr -dc 0-9 || true)
  if printf '%s\n' "$frame" | shows "Downloading..." "Esc: close" &&
    [ -n "$percent" ] && [ "$percent" -gt 35 ] && [ "$percent" -lt 70 ]; then
    moved=${moved:-$SECONDS}
    [ "$percent" -ge 50 ] || [ $((SECONDS - moved)) -ge 5 ] && break
  fi
  [ $SECONDS -lt $deadline ] || fail "the bar did not move past 35 mid-download"
  sleep 0.1
done
printf '%s\n' "$frame" >"$out/2-progress.txt"
echo "saved 2-progress.txt (bar at $percent% mid-download)"
touch "$out/gate"
wait_for "Corvalis is installed"
expect_on_screen "In Premiere Pro, open Window > Extensions > Corvalis Library."
expect_on_screen ">[ Close ]<"
expect_not_on_screen "Cancel"
expect_not_on_screen "Try again"
save 3-installed
[ -f "$out/appdata/Adobe/CEP/extensions/com.corvalisplugin.panel/CSXS/manifest.xml" ] ||
  fail "the loader was not installed"
tmux -L "$socket" send-keys -t setup Enter
wait_for_exit

# --- --uninstall: its own first page; Cancel ends it before anything, Remove runs to its end.
log="$temp/Corvalis Setup.log"
start_program --uninstall
wait_for "Remove Corvalis from Premiere Pro"
expect_on_screen ">[ Remove ]<"
expect_on_screen "[ Cancel ]"
expect_not_on_screen "Install"
save 5-remove
tmux -L "$socket" send-keys -t setup Escape
wait_for_exit
# The log's lines end in CR LF.
! grep -q $' Removing\r$' "$log" || fail "Cancel on the first page started an uninstall"
start_program --uninstall
wait_for "Remove Corvalis from Premiere Pro"
tmux -L "$socket" send-keys -t setup Enter
wait_for "Corvalis was removed"
expect_on_screen ">[ Close ]<"
expect_not_on_screen "Cancel"
expect_not_on_screen "Try again"
save 6-removed
grep -q $' Removing\r$' "$log" || fail "no Removing line in the log"
tail -n 1 "$log" | grep -q $' Done\r$' || fail "the log's last line is not Done"
tmux -L "$socket" send-keys -t setup Enter
wait_for_exit

# --- A host that fails: the Failure page, Try again runs again, Esc closes.
start_host --failing
start_program
wait_for "Install Corvalis for Premiere Pro"
tmux -L "$socket" send-keys -t setup Enter
wait_for "Corvalis wasn't installed"
expect_on_screen "A release list from corvalisplugin.com didn't make sense."
expect_on_screen "Log: $log"
expect_on_screen ">[ Try again ]<"
expect_on_screen "[ Close ]"
save 4-failure
[ "$(grep -c "Failed: " "$temp/Corvalis Setup.log")" = 1 ] || fail "one Failed line expected"
tmux -L "$socket" send-keys -t setup Enter
for _ in $(seq 100); do
  [ "$(grep -c "Failed: " "$temp/Corvalis Setup.log")" = 2 ] && break
  sleep 0.1
done
[ "$(grep -c "Failed: " "$temp/Corvalis Setup.log")" = 2 ] || fail "Try again ran no new run"
wait_for "Corvalis wasn't installed"
tmux -L "$socket" send-keys -t setup Escape
wait_for_exit

# --- Without a terminal, window mode refuses in one line.
set +e
message=$("$program" --base "http://127.0.0.1:$port" </dev/null 2>&1 >/dev/null)
status=$?
set -e
[ "$status" = 1 ] || fail "exit code $status without a terminal"
[ "$(printf '%s\n' "$message" | wc -l)" = 1 ] || fail "more than one line: $message"
case "$message" in *terminal*--check*) ;; *) fail "unexpected refusal: $message" ;; esac

echo "terminal window test passed; screens in $out"
