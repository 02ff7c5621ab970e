#!/bin/sh
# Publishes a small loader and app release into a release host folder, signed with the
# development key that test builds trust.
#   publish_test_release.sh CORVALIS_RELEASE_TOOL KEY_FILE HOST_ROOT
set -eu
tool=$1 key=$2 root=$3
work=$root.sources
rm -rf "$root" "$work"
mkdir -p "$work/loader/CSXS" "$work/app/host"
printf '<?xml version="1.0"?>\n<ExtensionManifest Version="7.0"/>\n' >"$work/loader/CSXS/manifest.xml"
printf '<!doctype html><title>Corvalis</title>\n' >"$work/loader/index.html"
# Large enough (2 MiB) for the Progress page's bar to move while it downloads.
yes 'control surface plug-in' | head -c 2097152 >"$work/app/host/Corvalis.acsrf"
printf 'importer plug-in\n' >"$work/app/host/Corvalis_Importer.prm"
printf 'not downloaded by Setup\n' >"$work/app/readme.txt"
"$tool" publish --key "$key" --root "$root" --component loader --version 1.4.0 --from "$work/loader" >/dev/null
"$tool" publish --key "$key" --root "$root" --component app --version 2.1.0 --from "$work/app" >/dev/null
rm -rf "$work"
