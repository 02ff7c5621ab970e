#!/usr/bin/env bash
# The real Linux program in a terminal (tmux), driven with the keyboard like a user: the Welcome,
# Progress and Installed pages against a local release host; --uninstall's first page, where
# Cancel removes nothing, and Remove, to its end page; the same install and uninstall with
# --silent, to the same end states and log lines, also with --log FILE, and the exit codes of
# --silent's failures; then the Failure page and Try again against a host that fails, and the
# refusal without a terminal. Each screen is saved as text in OUT for a person to look at; the
# Progress page mid-download, while the host holds back the second half of the control-surface
# plug-in, with the bar between 35 and 70.
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
log="$temp/Corvalis Setup.log"
socket=
runs=0
host_pid=
premiere_pid=
# The installer's folders all point into $out.
sandbox=(env HOME="$out/home" TMPDIR="$temp" APPDATA="$out/appdata"
  ProgramFiles="$out/program-files" ProgramW6432="$out/program-files")

cleanup() {
  [ -n "$socket" ] && tmux -L "$socket" kill-server 2>/dev/null || true
  [ -n "$host_pid" ] && kill "$host_pid" 2>/dev/null || true
  [ -n "$premiere_pid" ] && kill "$premiere_pid" 2>/dev/null || true
}
trap cleanup EXIT
# Install runs wait while anything of this user's named like Premiere runs: tests that start
# such a program run alone (holding this lock whole), the others share it.
exec 9>>/tmp/corvalis-tests-premiere.lock
flock -s 9

fail() {
  echo "FAILED: $*" >&2
  echo "--- last screen:" >&2
  tmux -L "$socket" capture-pane -p -t setup >&2 2>/dev/null || true
  exit 1
}

# start_host [--failing | --status CODE | --hold NAME --gate FILE]: serves $out/release, sets $port
start_host() {
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
  # A tmux server of its own for each run; the window gets a 90 by 30 terminal. The command
  # goes to tmux as words, not through a shell, so no path needs quoting.
  [ -n "$socket" ] && tmux -L "$socket" kill-server 2>/dev/null || true
  runs=$((runs + 1))
  socket=corvalis-terminal-test-$$-$runs
  tmux -u -L "$socket" -f /dev/null new-session -d -s setup -x 90 -y 30 \
    "${sandbox[@]}" bash -c '"$@"; echo $? >"$0"; sleep 30' "$out/exit-code" \
    "$program" --base "http://127.0.0.1:$port" "$@"
}

# The program with --base and the options, without a terminal; sets $status (124 when it has
# not ended within two minutes: --silent never waits) and keeps what it wrote in run-output.
run() {  # run [OPTION...]
  set +e
  "${sandbox[@]}" timeout 120 "$program" --base "http://127.0.0.1:$port" "$@" </dev/null \
    >"$out/run-output" 2>&1
  status=$?
  set -e
}

# What Setup leaves where it writes: every path, with each file's checksum (the log aside).
state() {
  (cd "$out" && {
    find appdata program-files home ! -type f
    find appdata program-files home -type f -exec sha256sum {} +
  } | LC_ALL=C sort)
}

# The log's lines after the first N, without their time, each still ended by CR LF.
lines_after() { tail -n +$(($1 + 1)) "${2:-$log}" | cut -c21-; }

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
cmp -s "$program" "$out/program-files/Corvalis/corvalis-setup" || fail "no copy of Setup kept"
[ -s "$out/program-files/Corvalis/uninstall-entry" ] || fail "no uninstall entry"
installed=$(state) window_install=$(lines_after 0)
tmux -L "$socket" send-keys -t setup Enter
wait_for_exit

# --- --uninstall: its own first page; Cancel ends it before anything, Remove runs to its end.
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
at=$(wc -l <"$log")
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
[ ! -e "$out/program-files/Corvalis" ] || fail "the kept copy's folder is still there"
removed=$(state) window_uninstall=$(lines_after "$at")

# --- --silent: the same install and uninstall with no window, to the same end states and log
# lines; then again with --log FILE, whose file gets those lines and the usual log none.
like_the_window() {  # like_the_window LOG [OPTION...]: LOG is where the lines must land
  local into=$1 at usual
  shift
  at=$(cat "$into" 2>/dev/null | wc -l) usual=$(wc -l <"$log")
  run --silent "$@"
  [ "$status" = 0 ] || fail "--silent $*: exit code $status"
  [ "$(state)" = "$installed" ] || fail "--silent $*: not the window's end state"
  run --silent --uninstall "$@"
  [ "$status" = 0 ] || fail "--silent --uninstall $*: exit code $status"
  [ "$(state)" = "$removed" ] || fail "--silent --uninstall $*: not the window's end state"
  [ "$(lines_after "$at" "$into")" = "$window_install"$'\n'"$window_uninstall" ] ||
    fail "--silent $*: not the window's log lines"
  [ "$into" = "$log" ] || [ "$(wc -l <"$log")" = "$usual" ] || fail "--log: the usual log grew"
  echo "--silent install and uninstall${*:+ $*}: exit code 0, the window's end states and lines"
}
like_the_window "$log"
chosen="$out/deploy – logs/Corvalis.log"
mkdir "${chosen%/*}"
like_the_window "$chosen" --log "$chosen"
grep -qvE $'^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} [^\r]+\r$' "$chosen" &&
  fail "--log: a line not as the log writes it"

# --- Runs that fail: each changes nothing, ends with its exit code and logs the last line
# given ("" for none at all, in no log). A POSIX exit status keeps only the code's low eight
# bits: 1618 arrives as 82, 1603 as 67.
refused() {  # refused CODE LAST_LINE OPTION...
  local code=$1 last=$2 before lines
  shift 2
  before=$(state) lines=$(wc -l <"$log")
  run "$@"
  [ "$status" = $((code % 256)) ] || fail "$*: exit code $status, not $code"
  [ "$(state)" = "$before" ] || fail "$*: changed what Setup installs"
  if [ -n "$last" ]; then
    [ "$(tail -n 1 "$log")" = "$(tail -n 1 "$log" | cut -c-20)$last"$'\r' ] ||
      fail "$*: the log's last line is $(tail -n 1 "$log"), not $last"
  else
    [ "$(wc -l <"$log")" = "$lines" ] || fail "$*: logged $(lines_after "$lines")"
  fi
  echo "$*: exit code $code ($status)${last:+, logged \"$last\"}"
}
premiere_open="Failed: Premiere Pro is open. Close it, then run Setup again."
already_running="Failed: Setup is already running. Finish it, then run Setup again."
# A program named as Premiere Pro is on Windows, run alone with the tests' turn taken whole.
flock -x 9
(exec -a 'C:\Program Files\Adobe\Adobe Premiere Pro 2025\Adobe Premiere Pro.exe' sleep 600) &
premiere_pid=$!
for _ in $(seq 300); do grep -q '^C:' "/proc/$premiere_pid/cmdline" && break; sleep 0.1; done
refused 1618 "$premiere_open" --silent
refused 1618 "$premiere_open" --silent --uninstall
# A window's install holds the run lock while it waits for Premiere Pro to close.
start_program
wait_for "Install Corvalis for Premiere Pro"
tmux -L "$socket" send-keys -t setup Enter
wait_for "Close Premiere Pro to continue"
refused 1618 "$already_running" --silent
refused 1618 "$already_running" --silent --uninstall
kill "$premiere_pid" && wait "$premiere_pid" || true
premiere_pid=
flock -s 9
wait_for "Corvalis is installed"
tmux -L "$socket" send-keys -t setup Enter
wait_for_exit
[ "$(state)" = "$installed" ] || fail "the window's install after the wait: not its end state"
# Installed now: a refused run takes nothing away either.
touch "$out/not a folder"
unwritable="$out/not a folder/Corvalis.log"
refused 1603 "" --silent --log "$unwritable"
refused 1603 "" --silent --uninstall --log "$unwritable"
refused 1 "" --check --log "$unwritable"
grep -qF "Setup couldn't write its log to $unwritable, so nothing was installed." \
  "$out/run-output" || fail "--check said: $(cat "$out/run-output")"
refused 1 "" --silent --base "http://corvalisplugin.example"
# Hosts that fail the install: answering 404 or 503 to everything, and none at all.
not_downloaded="Failed: Couldn't download Corvalis. Check your internet connection and run Setup \
again."
for answer in 404 503; do
  start_host --status "$answer"
  echo "a host answering $answer to everything:"
  refused 1603 "$not_downloaded" --silent
done
kill "$host_pid" && wait "$host_pid" || true
host_pid=
echo "no host at all:"
refused 1603 "$not_downloaded" --silent

# --- A host that fails: the Failure page, Try again runs again, Esc closes.
start_host --failing
failed=$(grep -c "Failed: " "$log")
start_program
wait_for "Install Corvalis for Premiere Pro"
tmux -L "$socket" send-keys -t setup Enter
wait_for "Corvalis wasn't installed"
expect_on_screen "A release list from corvalisplugin.com didn't make sense."
expect_on_screen "Log: $log"
expect_on_screen ">[ Try again ]<"
expect_on_screen "[ Close ]"
save 4-failure
[ "$(grep -c "Failed: " "$log")" = $((failed + 1)) ] || fail "one Failed line expected"
tmux -L "$socket" send-keys -t setup Enter
for _ in $(seq 100); do
  [ "$(grep -c "Failed: " "$log")" = $((failed + 2)) ] && break
  sleep 0.1
done
[ "$(grep -c "Failed: " "$log")" = $((failed + 2)) ] || fail "Try again ran no new run"
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
