#!/bin/sh
# corvalis-release from its command line: keygen, publish, verify, and the refusals' exit codes
# and words; then, given the program and the README, the README's "Publishing a release".
#   command_line_test.sh TOOL DEVELOPMENT_KEY_PEM [PROGRAM README]
set -eu
tool=$1
development_key=$2
development_public=6dca4a726f00be3c8b1307442fd07c6142e2b548a730839d9d89320a0a11c44d
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/from/host"
printf 'plug-in' >"$work/from/host/Corvalis.acsrf"
printf 'importer' >"$work/from/host/Corvalis_Importer.prm"

public=$("$tool" keygen --out "$work/key.pem")
echo "$public" | grep -Eq '^[0-9a-f]{64}$'
"$tool" publish --key "$work/key.pem" --root "$work/root" --component app --version 1.2 \
  --from "$work/from" --trusted-key "$public"
grep -q '"version":"1.2"' "$work/root/app/channels/stable.json"
"$tool" verify --root "$work/root" --component app --version 1.2 --trusted-key "$public"

# The development key signs for builds that trust it (the default).
"$tool" publish --key "$development_key" --root "$work/root" --component loader --version 3 \
  --from "$work/from" --trusted-key "$development_public"
"$tool" verify --root "$work/root" --component loader --version 3 \
  --trusted-key "$development_public"

# sign gives what publish wrote for the same list, and signs lists publish would refuse.
"$tool" sign --key "$work/key.pem" --in "$work/root/app/1.2/release.json" >"$work/again.sig"
cmp "$work/again.sig" "$work/root/app/1.2/release.sig"
printf '{"files":[{"path":"../x"}]}' >"$work/hostile.json"
"$tool" sign --key "$work/key.pem" --in "$work/hostile.json" | grep -Eq '^[A-Za-z0-9+/]{86}==$'
: >"$work/empty.json"
"$tool" sign --key "$work/key.pem" --in "$work/empty.json" | grep -Eq '^[A-Za-z0-9+/]{86}==$'

# expect_status CODE SAYS COMMAND...: the command exits with CODE, its standard error saying SAYS.
expect_status() {
  want=$1 says=$2
  shift 2
  set +e
  "$@" >"$work/out" 2>"$work/err"
  got=$?
  set -e
  [ "$got" = "$want" ] || { echo "exit $got, not $want: $*"; cat "$work/err"; exit 1; }
  grep -qF -- "$says" "$work/err" || { echo "no \"$says\" from $*:"; cat "$work/err"; exit 1; }
}
# Without --trusted-key, the key of this build's installer, named (publish names the signer too).
cp "$work/root/app/channels/stable.json" "$work/stable.before"
expect_status 1 "by the key $development_public" "$tool" verify --root "$work/root" \
  --component app --version 1.2
expect_status 1 "$public, but the installer trusts $development_public" \
  "$tool" publish --key "$work/key.pem" --root "$work/root" --component app --version 1.3 \
  --from "$work/from"
cmp "$work/stable.before" "$work/root/app/channels/stable.json"
expect_status 1 "installer would refuse it" "$tool" publish --key "$work/key.pem" \
  --root "$work/root" --component app --version 1.2-rc --from "$work/from"
expect_status 2 "--trusted-key takes 64" "$tool" verify --root "$work/root" --component app \
  --version 1.2 --trusted-key 12
expect_status 2 "--root is missing" "$tool" publish --key "$work/key.pem"
expect_status 2 "--in is missing" "$tool" sign --key "$work/key.pem"
expect_status 2 'unknown command "publsh"' "$tool" publsh --key "$work/key.pem"
expect_status 2 'unknown option "--partial"' "$tool" verify --partial
expect_status 2 "usage:" "$tool"
expect_status 1 "missing.json" "$tool" sign --key "$work/key.pem" --in "$work/missing.json"
"$tool" --help >"$work/out" 2>"$work/err"
grep -q -- "--partial " "$work/out" && [ ! -s "$work/err" ]
"$tool" publish --help | grep -q "^usage:"
echo "corvalis-release command line: all good"
[ $# -ge 4 ] || exit 0

# The README's "Publishing a release": its commands as written there, run by bash in a clean
# folder that is also the walk's home. This build stands in for the two builds with a new key:
# it trusts the development key, so the cmake lines are skipped and the key keygen makes is
# swapped for the development key once keygen has made it. The local host listens on a free
# port rather than 8000, and the walk waits for it to answer before going on.
program=$3 readme=$4
walk=$work/walk
mkdir -p "$walk/build/linux/bin" "$walk/tmp" "$walk/corvalis-release/panel/CSXS" \
  "$walk/corvalis-release/plugins/host"
ln -s "$(readlink -f "$tool")" "$walk/build/linux/bin/corvalis-release"
ln -s "$(readlink -f "$program")" "$walk/build/linux/bin/corvalis-setup"
printf '<ExtensionManifest Version="7.0"/>\n' >"$walk/corvalis-release/panel/CSXS/manifest.xml"
printf '<!doctype html><title>Corvalis</title>\n' >"$walk/corvalis-release/panel/index.html"
printf 'control surface' >"$walk/corvalis-release/plugins/host/Corvalis.acsrf"
printf 'importer' >"$walk/corvalis-release/plugins/host/Corvalis_Importer.prm"
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
python3 - "$readme" "$port" "$(readlink -f "$development_key")" "$development_public" >"$walk/walk.sh" <<'PY'
import re, sys
readme, port, key, public = sys.argv[1:]
text = open(readme, encoding="utf-8").read()
section = text.split("\n## Publishing a release\n", 1)[1].split("\n## ", 1)[0]
blocks = re.findall(r"^```sh\n(.*?)^```$", section, re.S | re.M)
lines = [line.strip() for block in blocks for line in block.replace("\\\n", " ").splitlines()]
print("set -eu\ntrap 'kill $(jobs -p) 2>/dev/null || true' EXIT")
skipped = swapped = waited = 0
for command in filter(None, lines):
    command = command.replace("8000", port)
    if command.startswith("cmake "):
        skipped += 1
        continue
    print(command)
    keygen = re.match(r"(\w+)=\$\(.* keygen --out (\S+)\)$", command)
    if keygen:
        swapped += 1
        print(f'[ ${{#{keygen[1]}}} = 64 ]\ncp "{key}" {keygen[2]}\n{keygen[1]}={public}')
    if command.endswith("&"):
        waited += 1
        print(f"until (exec 3<>/dev/tcp/127.0.0.1/{port}) 2>/dev/null; do sleep 0.1; done")
assert (skipped, swapped, waited) == (3, 1, 1), (skipped, swapped, waited)
PY
(cd "$walk" && HOME="$walk" TMPDIR="$walk/tmp" timeout 120 bash walk.sh) >"$walk/out" 2>&1 ||
  { echo "the README's walk failed:"; cat "$walk/walk.sh" "$walk/out"; exit 1; }
log=$(tr -d '\r' <"$walk/tmp/Corvalis Setup.log")
[ "$(echo "$log" | grep -c ' Check passed: ')" = 2 ] &&
  echo "$log" | tail -n 1 | grep -q ' Check passed: loader 1.0.0, app 1.0.0$' ||
  { echo "the README's walk did not end with a passed check:"; cat "$walk/out"; exit 1; }
echo "the README's publishing walk: all good"
