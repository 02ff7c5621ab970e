#!/bin/sh
# corvalis-release from its command line: keygen, publish, verify, and the refusals' exit codes.
#   command_line_test.sh TOOL DEVELOPMENT_KEY_PEM
set -eu
tool=$1
development_key=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/from/host"
printf 'plug-in' >"$work/from/host/Corvalis.acsrf"

public=$("$tool" keygen --out "$work/key.pem")
echo "$public" | grep -Eq '^[0-9a-f]{64}$'
"$tool" publish --key "$work/key.pem" --root "$work/root" --component app --version 1.2 \
  --from "$work/from"
grep -q '"version":"1.2"' "$work/root/app/channels/stable.json"
"$tool" verify --root "$work/root" --component app --version 1.2 --key "$public"

# The development key signs for builds that trust it (the default).
"$tool" publish --key "$development_key" --root "$work/root" --component loader --version 3 \
  --from "$work/from"
"$tool" verify --root "$work/root" --component loader --version 3 \
  --key 6dca4a726f00be3c8b1307442fd07c6142e2b548a730839d9d89320a0a11c44d

# sign gives what publish wrote for the same list, and signs lists publish would refuse.
"$tool" sign --key "$work/key.pem" --in "$work/root/app/1.2/release.json" >"$work/again.sig"
cmp "$work/again.sig" "$work/root/app/1.2/release.sig"
printf '{"files":[{"path":"../x"}]}' >"$work/hostile.json"
"$tool" sign --key "$work/key.pem" --in "$work/hostile.json" | grep -Eq '^[A-Za-z0-9+/]{86}==$'
: >"$work/empty.json"
"$tool" sign --key "$work/key.pem" --in "$work/empty.json" | grep -Eq '^[A-Za-z0-9+/]{86}==$'

expect_status() {
  want=$1
  shift
  set +e
  "$@" 2>/dev/null
  got=$?
  set -e
  [ "$got" = "$want" ] || { echo "exit $got, not $want: $*"; exit 1; }
}
expect_status 1 "$tool" verify --root "$work/root" --component app --version 1.2 \
  --key 6dca4a726f00be3c8b1307442fd07c6142e2b548a730839d9d89320a0a11c44d
expect_status 1 "$tool" publish --key "$work/key.pem" --root "$work/root" --component app \
  --version 1.2-rc --from "$work/from"
expect_status 2 "$tool" verify --root "$work/root" --component app --version 1.2 --key 12
expect_status 2 "$tool" publish --key "$work/key.pem"
expect_status 2 "$tool" sign --key "$work/key.pem"
expect_status 1 "$tool" sign --key "$work/key.pem" --in "$work/missing.json"
echo "corvalis-release command line: all good"
