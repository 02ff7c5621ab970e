#!/usr/bin/env bash
# Download benchmark: one 200 MiB file served by nginx on loopback, fetched and hashed three ways.
#
#   bash bench/http_benchmark.sh [build dir]      (default build/linux; BENCH_REPETITIONS=9)
#
# 1. the installer's way: http_get + sha256_hex in one process (bench/http_fetch_and_hash.cpp);
# 2. what a user would script: curl -s -o /dev/null, then sha256sum of the same file;
# 3. the floor: one curl into the temporary folder, then openssl dgst -sha256 of the copy
#    (the transfer plus the fastest hash on the machine).
# Prints the median and the spread (min to max) of each, both ratios of the medians, and the
# peak resident memory of the installer's process beside the body size. Figures only: the
# test command never runs this, since a shared machine's timings are for reading.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/linux}
repetitions=${BENCH_REPETITIONS:-9}
fetch="$build/bin/http_fetch_and_hash"
[ -x "$fetch" ] || { echo "build first: cmake --build --preset linux ($fetch missing)" >&2; exit 1; }
for tool in nginx curl sha256sum openssl python3; do
  command -v "$tool" >/dev/null || [ -x "/usr/sbin/$tool" ] || { echo "needs $tool" >&2; exit 1; }
done
nginx=$(command -v nginx || echo /usr/sbin/nginx)

work=$(mktemp -d "${TMPDIR:-/tmp}/corvalis-http-bench.XXXXXX")
nginx_pid=
cleanup() {
  [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

size=209715200
mkdir -p "$work/www" "$work/logs"
head -c "$size" /dev/urandom >"$work/www/release.bin"
expected=$(sha256sum "$work/www/release.bin" | cut -d' ' -f1)

port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
cat >"$work/nginx.conf" <<EOF
daemon off;
master_process off;
worker_processes 1;
error_log $work/logs/error.log;
pid $work/nginx.pid;
events { worker_connections 64; }
http {
  access_log off;
  sendfile on;
  tcp_nopush on;
  server { listen 127.0.0.1:$port; root $work/www; }
}
EOF
"$nginx" -p "$work" -c "$work/nginx.conf" &
nginx_pid=$!
url="http://127.0.0.1:$port/release.bin"
for _ in $(seq 50); do curl -s -o /dev/null "http://127.0.0.1:$port/" && break; sleep 0.1; done

now() { date +%s.%N; }
ours=() user=() floor=() peaks=()
run_ours() {
  local result digest
  result=$("$fetch" "$url")
  digest=$(sed -n 's/^digest //p' <<<"$result")
  [ "$digest" = "$expected" ] || { echo "wrong digest $digest" >&2; exit 1; }
  ours+=("$(sed -n 's/^seconds //p' <<<"$result")")
  peaks+=("$(sed -n 's/^peak_kib //p' <<<"$result")")
}
run_user() {
  local start
  start=$(now)
  curl -s -o /dev/null "$url"
  sha256sum "$work/www/release.bin" >/dev/null
  user+=("$(python3 -c "print($(now) - $start)")")
}
run_floor() {
  local start
  start=$(now)
  curl -s -o "$work/copy.bin" "$url"
  openssl dgst -sha256 "$work/copy.bin" >/dev/null
  floor+=("$(python3 -c "print($(now) - $start)")")
  rm -f "$work/copy.bin"
}
# The order turns with each repetition, so load from elsewhere on the machine falls on all
# three alike.
for run in $(seq "$repetitions"); do
  case $((run % 3)) in
    0) run_ours; run_user; run_floor ;;
    1) run_user; run_floor; run_ours ;;
    2) run_floor; run_ours; run_user ;;
  esac
done

python3 - "$size" "${ours[*]}" "${user[*]}" "${floor[*]}" "${peaks[*]}" <<'EOF'
import statistics, sys
size = int(sys.argv[1])
ours, user, floor = ([float(x) for x in arg.split()] for arg in sys.argv[2:5])
peak_mib = max(int(x) for x in sys.argv[5].split()) / 1024
body_mib = size / 1048576
def row(name, xs):
    print("%-44s %7.3f s   %7.3f .. %7.3f s" % (name, statistics.median(xs), min(xs), max(xs)))
print("body %d bytes (%.0f MiB) from nginx on loopback, %d repetitions" % (size, body_mib, len(ours)))
print("%-44s %9s   %s" % ("", "median", "spread (min .. max)"))
row("http_get + sha256_hex, one process", ours)
row("curl -s -o /dev/null, then sha256sum", user)
row("floor: curl to a temp file + openssl dgst", floor)
to_user = statistics.median(ours) / statistics.median(user)
to_floor = statistics.median(ours) / statistics.median(floor)
print("ratio to curl + sha256sum: %.2f (target at most 0.6)" % to_user)
print("ratio to the floor:        %.2f (target at most 1.3)" % to_floor)
limit = 1.1 * body_mib + 16
print("peak resident memory of the http_get process: %.1f MiB for a %.0f MiB body "
      "(target at most %.1f MiB = 1.1 x body + 16 MiB)" % (peak_mib, body_mib, limit))
EOF
