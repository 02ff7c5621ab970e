#!/bin/sh
# corvalis-release from its command line: keygen, publish, verify, and the refusals' exit codes
# and words.
#   command_line_test.sh TOOL DEVELOPMENT_KEY_PEM
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
expect_status 1 "names 1.2, and 1.1.9 is lower" "$tool" publish --key "$work/key.pem" \
  --root "$work/root" --component app --version 1.1.9 --from "$work/from" --trusted-key "$public"
expect_status 1 "empty field" "$tool" publish --key "$work/key.pem" --root "$work/root" \
  --component app --version 1..3 --from "$work/from" --trusted-key "$public"
cmp "$work/stable.before" "$work/root/app/channels/stable.json"
[ ! -e "$work/root/app/1.3" ] && [ ! -e "$work/root/app/1.1.9" ]
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
