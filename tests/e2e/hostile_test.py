"""The conformance suite: the real program against a hostile release host.

Each scenario builds one site on the hostile host (tests/e2e/hostile_host.py) from genuine
releases published by corvalis-release, changes it the way an attacker or a broken host would,
runs the program as a process and judges it from the outside only: the exit code, the setup
log (the exact last line, one failure line at most, the failed-attempt lines), no run folder
left behind, and a listing of the whole sandbox before and after the run that shows nothing
changed outside the places the run may write. A run that fails before the panel is replaced
changes nothing but the log.

Every scenario runs in check mode (`--check`) and, when asked, in install mode through the
Setup window, with every folder the run writes to (temporary, roaming, Program Files) pointed
into the sandbox: on Linux the program itself in a terminal (tests/e2e/terminal.py presses
Install, reads the final page and closes the window); under Wine corvalis-window-driver, the
window's own page logic with a scripted user in place of the task dialog. The window is judged
too: the Installed page after a run that succeeded, the Failure page with the run's message
after one that failed, and exit code 0 once it has been closed.

    hostile_test.py --program SETUP --tool CORVALIS_RELEASE [--groups G[,G...]] [--install]
    hostile_test.py --program SETUP.exe --tool CORVALIS_RELEASE --emulator WINE_RUN
                    --wine-prefix PREFIX [--window-driver DRIVER.exe] [--groups ...]
    hostile_test.py --list [--groups ...]

Groups (all by default): signature, parsing, integrity, paths, transport, host. Under Wine (--emulator) the
check runs share the prefix's temporary folder and log and the install runs its roaming-folder
setting, so they run one at a time; on Linux they run side by side, each in its own sandbox.
"""

import argparse
import base64
import concurrent.futures
import copy
import fcntl
import glob
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import traceback
import unittest
from pathlib import Path, PurePosixPath

sys.path.insert(0, str(Path(__file__).resolve().parent))
import terminal  # noqa: E402
from sample_release import APP_FILES, LOADER_FILES  # noqa: E402
from hostile_host import (Answer, HostileHost, Publisher, host_content, list_document,  # noqa
                          percent_encode, scratch_folder, sha256)

REPO = Path(__file__).resolve().parents[2]
DEVELOPMENT_KEY = REPO / "keys" / "development-release-key.pem"

UNSIGNED = "A download from corvalisplugin.com wasn't signed by Corvalis, so nothing was installed."
NONSENSE = "A release list from corvalisplugin.com didn't make sense."
DAMAGED = "A download arrived damaged. Run Setup again."
OFFLINE = "Couldn't download Corvalis. Check your internet connection and run Setup again."
NOT_WRITTEN = "Couldn't write Corvalis into Premiere's extensions folder."
NOT_REPLACED = ("Couldn't replace the Corvalis panel that's already installed. Restart your "
                "computer and run Setup again.")

LOADER, APP = "1.4.2", "2.0.1"
ED25519_ORDER = 2**252 + 27742317777372353535851937790883648493

PANEL = "appdata/Adobe/CEP/extensions/com.corvalisplugin.panel"
LEGACY_PANEL = "appdata/Adobe/CEP/extensions/com.brackmoor.panel"
# Where an install run may write besides its log. A run that fails in the app stage may have
# replaced the panel; only a successful one reaches the plug-in folders, the settings and the
# copy of Setup it keeps.
PANEL_PLACES = [PANEL, LEGACY_PANEL]
PLUGIN_PLACES = [
    f"{program_files}/{folder}"
    for program_files in ("Program Files", "Program Files (x86)")
    for folder in ("Adobe/Common/Plug-ins/ControlSurface/Corvalis.acsrf",
                   "Adobe/Common/Plug-ins/7.0/MediaCore/Corvalis",
                   "Adobe/Common/Plug-ins/7.0/MediaCore/Brackmoor",
                   "Common Files/Adobe/Plug-ins/7.0/MediaCore/Corvalis")
] + ["appdata/Adobe/Premiere Pro/*/ControlSurface",
     # Setup's own copy and the uninstall entry's stand-in beside it, after the plug-ins.
     "Program Files/Corvalis"]
LOG = "temp/Corvalis Setup.log"


# ---------------------------------------------------------------------------------------------
# Scenarios

class Scenario:
    """What one attack does to a site, and what the program must make of it.

    expect    the failure message, or None when the run must succeed
    stage     "loader" when the failure comes before the panel is replaced (nothing may change),
              "panel" when it comes while the old panel is removed, "app" when it comes after
              (in both the panel may have changed)
    attempts  the number of failed-attempt log lines, when it matters
    modes     the modes the scenario runs in
    seed      prepares the sandbox (install mode) before the run
    verify    further checks of the finished run (a build may return one more)
    loader_version, app_version  the versions a successful run reports
    windows   whether the scenario holds for the Windows build too
    linux     whether it holds for the Linux build
    hold      a file of the sandbox the install run finds held open (Windows build only)
    wine_install  what differs for install runs under Wine: {"expect": ..., "stage": ...}
    """

    def __init__(self, group, name, build, expect=None, stage="loader", attempts=None,
                 modes=("check", "install"), seed=None, verify=None, loader_version=LOADER,
                 app_version=APP, windows=True, linux=True, hold=None, wine_install=None):
        self.group, self.name, self.build = group, name, build
        self.loader_version, self.app_version = loader_version, app_version
        self.windows, self.linux = windows, linux
        self.expect, self.stage, self.attempts = expect, stage, attempts
        self.modes, self.seed, self.verify = modes, seed, verify
        self.hold, self.wine_install = hold, wine_install or {}

    def for_wine_install(self):
        changed = copy.copy(self)
        for name, value in self.wine_install.items():
            setattr(changed, name, value)
        return changed



class Play:
    """A scenario's handle on its site: the genuine releases and ways to change them."""

    def __init__(self, site, publisher):
        self.site, self.publisher = site, publisher

    @staticmethod
    def release(component):
        return f"/loader/{LOADER}" if component == "loader" else f"/app/{APP}"

    def document(self, component="loader"):
        return self.site.body(self.release(component) + "/release.json")

    def signature(self, component="loader"):
        return self.site.body(self.release(component) + "/release.sig")

    def entries(self, component="loader"):
        return json.loads(self.document(component))["files"]

    def set_document(self, document, component="loader", sign="development"):
        """Serves `document` as the release list; signs it again unless sign is None."""
        self.site.put(self.release(component) + "/release.json", document)
        if sign:
            self.set_signature(self.publisher.sign(document, other_key=sign == "other"),
                               component)

    def set_signature(self, text, component="loader"):
        self.site.put(self.release(component) + "/release.sig", text)

    def relist(self, entries, component="loader", version=None):
        """A genuinely signed list of these entries, in the publisher's layout."""
        version = version or (LOADER if component == "loader" else APP)
        self.set_document(list_document(version, entries), component)

    def file_url(self, path, component="loader"):
        return self.release(component) + "/files/" + percent_encode(path)

    def serve_file(self, path, content, component="loader"):
        """Serves `content` where the installer asks for `path` and returns the entry that lists
        it honestly."""
        self.site.put(self.file_url(path, component), content)
        return {"path": path, "size": len(content), "sha256": sha256(content)}

    def move_release(self, component, version):
        """Publishes the genuine release of `component` as `version` instead: its channel names
        the version, its list (the loader's signed again with the new version) and files move
        beneath it, and nothing is left where they were."""
        old, new = self.release(component), f"/{component}/{version}"
        for path in [p for p in self.site.routes if p.startswith(old + "/")]:
            self.site.routes[new + path[len(old):]] = self.site.routes.pop(path)
        if component == "loader":
            document = list_document(version, json.loads(self.site.body(new + "/release.json"))
                                     ["files"])
            self.site.put(new + "/release.json", document)
            self.site.put(new + "/release.sig", self.publisher.sign(document))
        self.site.put(self.channel(component), json.dumps({"version": version}).encode())

    def file_body(self, path, component="loader"):
        return self.site.body(self.file_url(path, component))

    def channel(self, component="loader"):
        return "/loader/latest.json" if component == "loader" else "/app/channels/stable.json"


def no_file_requested(test, run):
    """Nothing but the loader's channel and list was asked for: no file of the release under
    "/files/", nor anywhere else a path with dot segments might have led."""
    asked = {"/loader/latest.json", f"/loader/{LOADER}/release.sig",
             f"/loader/{LOADER}/release.json"}
    test.assertEqual([r for r in run.site.requests if r not in asked], [],
                     "nothing is downloaded before its list passes")


# --- signature --------------------------------------------------------------------------------

def a_genuine_host_passes(play):
    pass


def a_list_signed_with_another_key(play):
    play.set_document(play.document(), sign="other")


def an_app_list_signed_with_another_key(play):
    play.set_document(play.document("app"), "app", sign="other")


def one_byte_changed_after_signing(play):
    document = play.document()
    digest = play.entries()[0]["sha256"]
    changed = digest[:-1] + ("0" if digest[-1] != "0" else "1")
    play.set_document(document.replace(digest.encode(), changed.encode()), sign=None)


def a_trailing_newline_added_after_signing(play):
    play.set_document(play.document() + b"\n", sign=None)


def the_last_newline_taken_away_after_signing(play):
    play.set_document(play.document().rstrip(b"\n"), sign=None)


def a_list_reindented_after_signing(play):
    play.set_document(json.dumps(json.loads(play.document()), indent=1).encode(), sign=None)


def a_list_with_crlf_line_ends_after_signing(play):
    play.set_document(play.document().replace(b"\n", b"\r\n"), sign=None)


def a_signature_in_the_url_safe_alphabet(play):
    # Only a signature with "+" or "/" in it reads differently in the other alphabet: pad the
    # list with spaces (still the same JSON) until its signature has one.
    document = play.document()
    for spaces in range(64):
        padded = document[:-1] + b" " * spaces + b"\n"
        signature = play.publisher.sign(padded)
        if b"+" in signature or b"/" in signature:
            break
    play.set_document(padded, sign=None)
    play.set_signature(signature.replace(b"+", b"-").replace(b"/", b"_"))


def a_truncated_signature(play):
    play.set_signature(play.signature().strip()[:84])  # 63 bytes


def a_signature_one_byte_too_long(play):
    raw = base64.b64decode(play.signature())
    play.set_signature(base64.b64encode(raw + b"\0") + b"\n")


def an_empty_signature(play):
    play.set_signature(b"")


def padding_spaces_and_line_breaks_in_the_signature_are_ignored(play):
    text = play.signature().strip().rstrip(b"=")
    lines = [text[i:i + 20] for i in range(0, len(text), 20)]
    play.set_signature(b"  " + b"\r\n ".join(lines) + b"==\r\n\r\n")


def a_signature_without_padding_or_newline(play):
    play.set_signature(play.signature().strip().rstrip(b"="))


def the_signature_of_another_release(play):
    play.set_signature(play.signature("app"))


def a_signature_with_one_bit_flipped(play):
    raw = bytearray(base64.b64decode(play.signature()))
    raw[5] ^= 0x10
    play.set_signature(base64.b64encode(bytes(raw)))


def a_signature_whose_scalar_is_not_reduced(play):
    # S + L verifies in a careless implementation: the same signature, written another way.
    raw = base64.b64decode(play.signature())
    scalar = int.from_bytes(raw[32:], "little") + ED25519_ORDER
    play.set_signature(base64.b64encode(raw[:32] + scalar.to_bytes(32, "little")))


def an_error_page_served_as_the_signature(play):
    play.set_signature(b"<html><body>Welcome to the hotel network</body></html>\n")


# --- parsing ----------------------------------------------------------------------------------

def a_signed_list_that_is_not_json(play):
    play.set_document(b"version=1.4.2\nfiles=index.html\n")


def a_signed_list_without_files(play):
    play.set_document(b'{"version": "1.4.2"}\n')


def a_signed_list_whose_files_is_an_object(play):
    play.set_document(b'{"version": "1.4.2", "files": {"path": "index.html"}}\n')


def a_signed_list_that_is_an_array(play):
    play.set_document(json.dumps([{"version": LOADER, "files": []}]).encode())


def a_signed_list_nested_40_deep(play):
    play.set_document(b'{"version": "1.4.2", "files": [], "x": ' + b"[" * 40 + b"]" * 40 + b"}")


def a_signed_list_nested_a_hundred_thousand_deep(play):
    play.set_document(b'{"version": "1.4.2", "files": ' + b"[" * 100000 + b"]" * 100000 + b"}")


def a_signed_list_with_content_after_it(play):
    play.set_document(play.document() + b'{"files": []}\n')


def a_signed_list_behind_a_byte_order_mark(play):
    play.set_document(b"\xef\xbb\xbf" + play.document())


def a_genuine_list_of_an_older_version(play):
    # Published and signed for 1.4.1, replayed where the channel says 1.4.2.
    play.set_document(play.site.body("/loader/1.4.1/release.json"), sign=None)
    play.set_signature(play.site.body("/loader/1.4.1/release.sig"))


def the_panel_is_empty(test, run):
    if run.mode == "install":
        test.assertFalse(os.path.exists(run.sandbox / PANEL), "the old panel went, nothing came")


def a_signed_list_with_no_files(play):
    play.relist([])


def only_the_first_files_member_counts(play):
    document = play.document().rstrip()[:-1] + b',\n  "files": [{"path": "../evil"}]\n}\n'
    play.set_document(document)


def a_channel_document_that_is_not_json(play):
    play.site.put(play.channel(), b"version: 1.4.2\n")


def a_channel_version_with_a_letter(play):
    play.site.put(play.channel(), b'{"version": "1.4.2-beta"}')


def a_channel_version_given_as_a_number(play):
    play.site.put(play.channel(), b'{"version": 1.4}')


def a_channel_document_nested_deep(play):
    play.site.put(play.channel(), b'{"version": "1.4.2", "x": ' + b"{\"a\":" * 5000 + b"1" +
                  b"}" * 5000 + b"}")


def an_empty_app_channel_document(play):
    play.site.put(play.channel("app"), b"")


# --- integrity --------------------------------------------------------------------------------

def a_file_one_byte_longer(play):
    play.site.put(play.file_url("index.html"), play.file_body("index.html") + b"\n")


def a_file_one_byte_shorter(play):
    play.site.put(play.file_url("index.html"), play.file_body("index.html")[:-1])


def a_file_with_the_same_length_and_other_bytes(play):
    body = bytearray(play.file_body("img/caf\u00e9.png"))
    body[1000] ^= 1
    play.site.put(play.file_url("img/caf\u00e9.png"), bytes(body))


def two_files_swapped(play):
    manifest, index = play.file_body("CSXS/manifest.xml"), play.file_body("index.html")
    play.site.put(play.file_url("CSXS/manifest.xml"), index)
    play.site.put(play.file_url("index.html"), manifest)


def a_damaged_plug_in(play):
    body = play.file_body("host/Corvalis_Importer.prm", "app")
    play.site.put(play.file_url("host/Corvalis_Importer.prm", "app"), body[:-1] + b"X")


def a_plug_in_much_longer_than_listed(play):
    play.site.put(play.file_url("host/Corvalis.acsrf", "app"), Answer(200, size=20 * 1048576))


def relisted(change):
    """A scenario that lists the loader's files with each entry changed, signed genuinely."""
    def build(play):
        play.relist([change(dict(entry)) for entry in play.entries()])
    build.__name__ = change.__name__
    return build


def with_upper_case_digests(entry):
    entry["sha256"] = entry["sha256"].upper()
    return entry


def without_digests(entry):
    del entry["sha256"]
    return entry


def with_sizes_as_text(entry):
    entry["size"] = str(entry["size"])
    return entry


def with_sizes_beyond_any_file(entry):
    entry["size"] = 1e300
    return entry


def with_negative_sizes(entry):
    entry["size"] = -entry["size"]
    return entry


def with_fractional_sizes(entry):
    entry["size"] = entry["size"] + 0.7
    return entry


def an_empty_file_with_the_digest_of_nothing(play):
    play.relist(play.entries() + [play.serve_file("empty.txt", b"")])


# --- paths ------------------------------------------------------------------------------------

def escaping(name, path):
    """A genuinely signed list whose last entry has this path (and honest size and digest):
    every file would arrive intact, and the installer must refuse before it asks for any."""
    def build(play):
        play.relist(play.entries() + [play.serve_file(path, b"escaped\n")])
        return no_file_requested
    build.__name__ = name
    return build


def panel_holds(*paths):
    def verify(test, run):
        if run.mode != "install":
            return
        for path in paths:
            test.assertTrue((run.sandbox / PANEL / path).is_file(), path)
    return verify


UNUSUAL_NAMES = ("a..b", ".hidden", "a/.b/c", "\u00e9t\u00e9 ~ #1.txt", "back\\slash")


def unusual_names_that_stay_inside(play):
    play.relist(play.entries() + [play.serve_file(path, path.encode()) for path in UNUSUAL_NAMES])


# Windows drops the dots that end a file name, so "..." cannot be written there; the run then
# fails as any unwritable file does.
def three_dots_are_a_name(play):
    play.relist(play.entries() + [play.serve_file(path, path.encode())
                                  for path in ("...", "a/.../b")])


def outside_is_untouched(test, run):
    test.assertEqual((run.sandbox / "outside" / "keep.txt").read_bytes(), b"the user's own file")


def link(relative, target):
    def seed(sandbox):
        where = sandbox / relative
        if where.is_dir() and not where.is_symlink():
            shutil.rmtree(where)
        where.parent.mkdir(parents=True, exist_ok=True)
        where.symlink_to(sandbox / target, target_is_directory=True)
    return seed


# Wine shows a Unix link to a folder as a link but cannot remove it (Windows removes the link
# itself): there the old panel cannot be replaced, and the run says so, still touching nothing
# outside.
LINK_UNDER_WINE = {"expect": NOT_REPLACED, "stage": "panel"}


def a_path_through_a_link_the_panel_folder_holds(play):
    pass  # the release lists "js/main file.js"


def a_panel_folder_that_is_a_link(play):
    pass


def a_legacy_panel_folder_that_is_a_link(play):
    pass


# Windows refuses to delete a file that a program holds open without delete sharing: the old
# panel cannot be removed, and the run says so instead of mixing two releases.
def a_panel_file_held_open(play):
    def verify(test, run):
        test.assertEqual((run.sandbox / PANEL / "index.html").read_bytes(),
                         b"the panel installed before\n")
        panel = run.sandbox / PANEL
        test.assertFalse((panel / "js").exists() or (panel / "img").exists(),
                         "nothing of the new release is written beside the held file")
        manifest = panel / "CSXS" / "manifest.xml"
        if manifest.exists():
            test.assertEqual(manifest.read_bytes(), b"<ExtensionManifest Version='6.0'/>\n")
    return verify


def a_file_where_a_folder_must_be(play):
    play.relist(play.entries() + [play.serve_file("index.html/x", b"x")])


def escaping_paths_in_the_app_release_are_never_fetched(play):
    entries = play.entries("app")
    for path in ("../../evil.prm", "host/../../Corvalis.acsrf", "/host/Corvalis.acsrf",
                 "HOST/Corvalis.acsrf"):
        entries.append(play.serve_file(path, b"evil", "app"))
    play.relist(entries, "app")

    def verify(test, run):
        fetched = [r for r in run.site.requests if r.startswith(f"/app/{APP}/files/")]
        test.assertEqual(sorted(fetched), [f"/app/{APP}/files/host/Corvalis.acsrf",
                                           f"/app/{APP}/files/host/Corvalis_Importer.prm"])
    return verify


def releases_at_versions(name, loader, app):
    """Channels naming versions the character rule lets through although they hold dot
    segments ("." is one, "1..2." is not): each build asks for every file at the path the
    version makes, exactly as built, in the same request lines."""
    def build(play):
        loader_files = [e["path"] for e in play.entries()]
        play.move_release("loader", loader)
        play.move_release("app", app)

        def verify(test, run):
            paths = (["/loader/latest.json", f"/loader/{loader}/release.sig",
                      f"/loader/{loader}/release.json"] +
                     [f"/loader/{loader}/files/" + percent_encode(p) for p in loader_files] +
                     ["/app/channels/stable.json", f"/app/{app}/release.sig",
                      f"/app/{app}/release.json", f"/app/{app}/files/host/Corvalis.acsrf",
                      f"/app/{app}/files/host/Corvalis_Importer.prm"])
            test.assertEqual(run.site.request_lines,
                             [f"GET /s/{run.site.id}{p} HTTP/1.1" for p in paths])
        return verify
    build.__name__ = name
    return build


# --- transport (retried failures pay the real pauses: 1 + 2 + 3 s) ---------------------------

ATTEMPT = re.compile(r"^GET (\S+) failed \(status (\d+), error (\d+)\)$")


def attempts_with_status(status):
    def verify(test, run):
        statuses = [ATTEMPT.match(line).group(2) for line in run.attempt_lines]
        test.assertEqual(set(statuses), {str(status)})
    return verify


def a_301_without_a_location(play):
    play.site.put(play.channel(), Answer(301))


def a_301_to_the_genuine_document(play):
    genuine = play.site.body(play.channel())
    play.site.put("/moved/latest.json", genuine)
    play.site.put(play.channel(), Answer(301, location=play.site.base + "/moved/latest.json"))


def a_403_for_the_signature(play):
    play.site.put(play.release("loader") + "/release.sig", Answer(403, b"forbidden"))

    def verify(test, run):
        test.assertFalse(run.site.requested(f"/loader/{LOADER}/release.json"))
    return verify


def a_404_for_a_file_is_not_retried(play):
    del play.site.routes[play.file_url("index.html")]


def a_500_for_the_list(play):
    play.site.put(play.release("loader") + "/release.json", Answer(500, b"oops"))


def two_503s_then_the_file(play):
    url = play.file_url("host/Corvalis.acsrf", "app")
    play.site.put(url, [Answer(503), Answer(503), Answer(200, play.site.body(url))])


def connections_closed_without_an_answer(play):
    play.site.put(play.file_url("index.html"), Answer(close=True))


def a_connection_closed_mid_body_then_the_file(play):
    url = play.file_url("img/caf\u00e9.png")
    body = play.site.body(url)
    play.site.put(url, [Answer(200, body, cut=100), Answer(200, body)])


def a_body_over_the_limit_then_the_list(play):
    url = play.release("app") + "/release.json"
    play.site.put(url, [Answer(200, size=200 * 1048576 + 1), Answer(200, play.site.body(url))])


def slow_answers(play):
    for url in (play.channel(), play.release("loader") + "/release.sig",
                play.file_url("index.html")):
        play.site.put(url, Answer(200, play.site.body(url), delay=1.5))


def a_redirect_loop(play):
    play.site.put(play.channel(), Answer(301, location=play.site.base + play.channel()))


def a_redirect_to_a_local_file(play):
    play.site.put(play.release("loader") + "/release.sig",
                  Answer(302, location="file:///etc/hostname"))


# --- host misbehaviour ------------------------------------------------------------------------

def a_loader_channel_that_names_the_app_version(play):
    play.site.put(play.channel(), f'{{"version":"{APP}"}}'.encode())


def an_app_channel_that_names_the_loader_version(play):
    play.site.put(play.channel("app"), f'{{"version":"{LOADER}"}}'.encode())


def a_channel_version_of_dots(play):
    # Passes the character rule; asked for as written, it reaches nothing but the host's own
    # paths.
    play.site.put(play.channel(), b'{"version":".."}')

    def verify(test, run):
        test.assertEqual(run.site.requests, ["/loader/latest.json", "/loader/../release.sig"])
    return verify


def a_list_cut_short_by_its_stated_length(play):
    url = play.release("loader") + "/release.json"
    play.site.put(url, Answer(200, play.site.body(url), claim=len(play.site.body(url)) - 10))


def a_captive_portal_answering_every_path(play):
    portal = b"<html><body>Please sign in to the network</body></html>"
    for url in list(play.site.routes):
        play.site.put(url, portal)


def a_list_without_its_signature(play):
    del play.site.routes[play.release("loader") + "/release.sig"]

    def verify(test, run):
        test.assertFalse(run.site.requested(f"/loader/{LOADER}/release.json"),
                         "the list is never fetched without its signature")
    return verify


def a_genuine_app_release_served_as_the_loader(play):
    # The signature binds a list to the release key, not to a component: a host may serve the
    # app's genuine release where the loader's belongs, and the installer then installs the
    # app's files as the panel. Nothing unsigned is installed; this documents the limit.
    play.site.put(play.channel(), f'{{"version":"{APP}"}}'.encode())
    for path, body in list(play.site.routes.items()):
        if path.startswith(f"/app/{APP}/"):
            play.site.put(path.replace("/app/", "/loader/", 1), body)

    def verify(test, run):
        if run.mode == "install":
            test.assertTrue((run.sandbox / PANEL / "host" / "Corvalis.acsrf").is_file())
    return verify


# ---------------------------------------------------------------------------------------------
# What the installer withstands: one row per scenario. The attack is the function that builds
# the site (its name says what the host does); the outcome is the message the run must end with
# (None: the run must succeed); the options are those of Scenario.

def row(group, build, outcome=None, **options):
    return Scenario(group, build.__name__, build, outcome, **options)


SCENARIOS = [
    #   group        attack                                                        outcome
    row("signature", a_genuine_host_passes,                                        None),
    row("signature", a_list_signed_with_another_key,                               UNSIGNED,
                     verify=no_file_requested),
    row("signature", an_app_list_signed_with_another_key,                          UNSIGNED,
                     stage="app"),
    row("signature", one_byte_changed_after_signing,                               UNSIGNED,
                     verify=no_file_requested),
    row("signature", a_trailing_newline_added_after_signing,                       UNSIGNED),
    row("signature", the_last_newline_taken_away_after_signing,                    UNSIGNED),
    row("signature", a_list_reindented_after_signing,                              UNSIGNED),
    row("signature", a_list_with_crlf_line_ends_after_signing,                     UNSIGNED),
    row("signature", a_signature_in_the_url_safe_alphabet,                         UNSIGNED),
    row("signature", a_truncated_signature,                                        UNSIGNED),
    row("signature", a_signature_one_byte_too_long,                                UNSIGNED),
    row("signature", an_empty_signature,                                           UNSIGNED),
    row("signature", padding_spaces_and_line_breaks_in_the_signature_are_ignored,  None),
    row("signature", a_signature_without_padding_or_newline,                       None),
    row("signature", the_signature_of_another_release,                             UNSIGNED),
    row("signature", a_signature_with_one_bit_flipped,                             UNSIGNED),
    row("signature", a_signature_whose_scalar_is_not_reduced,                      UNSIGNED),
    row("signature", an_error_page_served_as_the_signature,                        UNSIGNED),

    row("parsing",   a_signed_list_that_is_not_json,                               NONSENSE,
                     verify=no_file_requested),
    row("parsing",   a_signed_list_without_files,                                  NONSENSE),
    row("parsing",   a_signed_list_whose_files_is_an_object,                       NONSENSE),
    row("parsing",   a_signed_list_that_is_an_array,                               NONSENSE),
    row("parsing",   a_signed_list_nested_40_deep,                                 NONSENSE),
    row("parsing",   a_signed_list_nested_a_hundred_thousand_deep,                 NONSENSE),
    row("parsing",   a_signed_list_with_content_after_it,                          NONSENSE),
    row("parsing",   a_signed_list_behind_a_byte_order_mark,                       NONSENSE),
    row("parsing",   a_genuine_list_of_an_older_version,                           NONSENSE,
                     verify=no_file_requested),
    row("parsing",   a_signed_list_with_no_files,                                  None,
                     verify=the_panel_is_empty),
    row("parsing",   only_the_first_files_member_counts,                           None),
    row("parsing",   a_channel_document_that_is_not_json,                          NONSENSE),
    row("parsing",   a_channel_version_with_a_letter,                              NONSENSE),
    row("parsing",   a_channel_version_given_as_a_number,                          NONSENSE),
    row("parsing",   a_channel_document_nested_deep,                               NONSENSE),
    row("parsing",   an_empty_app_channel_document,                                NONSENSE,
                     stage="app"),

    row("integrity", a_file_one_byte_longer,                                       DAMAGED),
    row("integrity", a_file_one_byte_shorter,                                      DAMAGED),
    row("integrity", a_file_with_the_same_length_and_other_bytes,                  DAMAGED),
    row("integrity", two_files_swapped,                                            DAMAGED),
    row("integrity", a_damaged_plug_in,                                            DAMAGED,
                     stage="app"),
    row("integrity", a_plug_in_much_longer_than_listed,                            DAMAGED,
                     stage="app"),
    row("integrity", relisted(with_upper_case_digests),                            DAMAGED),
    row("integrity", relisted(without_digests),                                    DAMAGED),
    row("integrity", relisted(with_sizes_as_text),                                 DAMAGED),
    row("integrity", relisted(with_sizes_beyond_any_file),                         DAMAGED),
    row("integrity", relisted(with_negative_sizes),                                DAMAGED),
    row("integrity", relisted(with_fractional_sizes),                              None),
    row("integrity", an_empty_file_with_the_digest_of_nothing,                     None),

    row("paths",     escaping("a_path_up_and_out", "../evil.txt"),                 NONSENSE),
    row("paths",     escaping("a_path_down_then_further_up", "a/../../x"),         NONSENSE),
    row("paths",     escaping("a_path_that_is_the_parent", ".."),                  NONSENSE),
    row("paths",     escaping("a_path_on_a_drive", "C:x"),                         NONSENSE),
    row("paths",     escaping("a_path_naming_a_stream", "a:b"),                    NONSENSE),
    row("paths",     escaping("a_path_on_a_server_share", "\\\\server\\share\\x"), NONSENSE),
    row("paths",     escaping("an_absolute_path", "/etc/x"),                       NONSENSE),
    row("paths",     escaping("a_path_with_an_empty_segment", "a//b"),             NONSENSE),
    row("paths",     escaping("a_path_up_and_out_with_backslashes", "a\\..\\..\\x"),NONSENSE),
    row("paths",     escaping("a_path_through_the_current_folder", "./x"),         NONSENSE),
    row("paths",     escaping("a_path_naming_a_folder", "x/"),                     NONSENSE),
    row("paths",     escaping("a_path_with_a_dot_segment_inside", "a/./b"),        NONSENSE),
    # The platform's calls end a name at a NUL: the first is opened as the panel's parent.
    row("paths",     escaping("a_path_of_dots_and_a_nul_byte", "..\u0000/x"),      NONSENSE),
    row("paths",     escaping("a_path_with_a_nul_byte_inside", "a\u0000b"),        NONSENSE),
    row("paths",     unusual_names_that_stay_inside,                               None,
                     verify=panel_holds(*(n.replace("\\", "/") for n in UNUSUAL_NAMES))),
    row("paths",     three_dots_are_a_name,                                        None,
                     verify=panel_holds("...", "a/.../b"), windows=False),
    row("paths",     a_path_through_a_link_the_panel_folder_holds,                 None,
                     seed=link(PANEL + "/js", "outside"), verify=outside_is_untouched,
                     wine_install=LINK_UNDER_WINE),
    row("paths",     a_panel_folder_that_is_a_link,                                None,
                     seed=link(PANEL, "outside"), verify=outside_is_untouched,
                     wine_install=LINK_UNDER_WINE),
    row("paths",     a_legacy_panel_folder_that_is_a_link,                         None,
                     seed=link(LEGACY_PANEL, "outside"), verify=outside_is_untouched),
    row("paths",     a_panel_file_held_open,                                       NOT_REPLACED,
                     stage="panel", modes=("install",), linux=False, hold=PANEL + "/index.html"),
    row("paths",     a_file_where_a_folder_must_be,                                NOT_WRITTEN,
                     stage="app"),
    row("paths",     escaping_paths_in_the_app_release_are_never_fetched,          None),
    row("paths",     releases_at_versions("a_loader_version_of_one_dot", ".", "1..2."), None,
                     loader_version=".", app_version="1..2."),
    row("paths",     releases_at_versions("an_app_version_of_one_dot", "1..2.", "."), None,
                     loader_version="1..2.", app_version="."),

    row("transport", a_301_without_a_location,                                     OFFLINE,
                     attempts=3, modes=("check",), verify=attempts_with_status(301)),
    row("transport", a_301_to_the_genuine_document,                                None,
                     modes=("check",), attempts=0),
    row("transport", a_403_for_the_signature,                                      OFFLINE,
                     attempts=3, modes=("check",), verify=attempts_with_status(403)),
    row("transport", a_404_for_a_file_is_not_retried,                              OFFLINE,
                     attempts=1, verify=attempts_with_status(404)),
    row("transport", a_500_for_the_list,                                           OFFLINE,
                     attempts=3, modes=("check",), verify=attempts_with_status(500)),
    row("transport", two_503s_then_the_file,                                       None,
                     attempts=2, modes=("check",), verify=attempts_with_status(503)),
    row("transport", connections_closed_without_an_answer,                         OFFLINE,
                     attempts=3, modes=("check",), verify=attempts_with_status(0)),
    row("transport", a_connection_closed_mid_body_then_the_file,                   None,
                     attempts=1, modes=("check",)),
    row("transport", a_body_over_the_limit_then_the_list,                          None,
                     attempts=1, modes=("check",), verify=attempts_with_status(200)),
    row("transport", slow_answers,                                                 None,
                     attempts=0, modes=("check",)),
    row("transport", a_redirect_loop,                                              OFFLINE,
                     attempts=3, modes=("check",), verify=attempts_with_status(301)),
    row("transport", a_redirect_to_a_local_file,                                   OFFLINE,
                     attempts=3, modes=("check",)),

    row("host",      a_loader_channel_that_names_the_app_version,                  OFFLINE,
                     attempts=1, verify=attempts_with_status(404)),
    row("host",      an_app_channel_that_names_the_loader_version,                 OFFLINE,
                     attempts=1, stage="app"),
    row("host",      a_channel_version_of_dots,                                    OFFLINE,
                     attempts=1),
    row("host",      a_list_cut_short_by_its_stated_length,                        UNSIGNED),
    row("host",      a_captive_portal_answering_every_path,                        NONSENSE),
    row("host",      a_list_without_its_signature,                                 OFFLINE,
                     attempts=1, verify=no_file_requested),
    row("host",      a_genuine_app_release_served_as_the_loader,                   None,
                     loader_version=APP),
]


# ---------------------------------------------------------------------------------------------
# Runs

class Run:
    """One scenario in one mode, run and recorded."""

    def __init__(self, scenario, mode):
        self.scenario, self.mode = scenario, mode
        self.error = None
        self.page, self.page_detail, self.screen = None, [], ""  # the window's final page
        self.log_shown = None  # the log's path as the program names it


class Suite:
    def __init__(self, options):
        self.options = options
        self.work = scratch_folder("corvalis-hostile-")
        self.publisher = Publisher(options.tool, DEVELOPMENT_KEY, self.work / "publisher")
        root = self.work / "host-root"
        self.publisher.publish(root, "loader", "1.4.1", LOADER_FILES, channel=False)
        self.publisher.publish(root, "loader", LOADER, LOADER_FILES)
        self.publisher.publish(root, "app", APP, APP_FILES)
        self.genuine = host_content(root)
        self.host = HostileHost().__enter__()

    def close(self):
        self.host.__exit__(None, None, None)
        shutil.rmtree(self.work, ignore_errors=True)

    # -- the sandbox

    def make_sandbox(self, name):
        sandbox = self.work / "sandboxes" / name
        files = {
            f"{PANEL}/index.html": b"the panel installed before\n",
            f"{PANEL}/CSXS/manifest.xml": b"<ExtensionManifest Version='6.0'/>\n",
            f"{LEGACY_PANEL}/index.html": b"an earlier product's panel\n",
            "appdata/Adobe/Premiere Pro/25.0/Profile.txt": b"Premiere's own\n",
            "Program Files/Adobe/Common/Plug-ins/ControlSurface/Other.acsrf": b"another vendor\n",
            "outside/keep.txt": b"the user's own file",
            "home/notes.txt": b"the user's notes\n",
        }
        for relative, content in files.items():
            (sandbox / relative).parent.mkdir(parents=True, exist_ok=True)
            (sandbox / relative).write_bytes(content)
        for folder in ("temp", "Program Files (x86)"):
            (sandbox / folder).mkdir()
        return sandbox

    def environment(self, sandbox):
        if self.options.emulator:
            # The Windows program takes its folders from the prefix, not from these; Wine itself
            # would keep its server socket under TMPDIR and its menus under HOME, and start a
            # new server for every new TMPDIR.
            return dict(os.environ)
        env = dict(os.environ, TMPDIR=str(sandbox / "temp"), APPDATA=str(sandbox / "appdata"),
                   HOME=str(sandbox / "home"), ProgramFiles=str(sandbox / "Program Files"),
                   ProgramW6432=str(sandbox / "Program Files"))
        env["ProgramFiles(x86)"] = str(sandbox / "Program Files (x86)")
        env.pop("XDG_CONFIG_HOME", None)
        return env

    def wine_temp(self):
        found = glob.glob(os.path.join(self.options.wine_prefix, "drive_c", "users", "*", "Temp"))
        return Path(found[0]) if found else None

    def temp_folder(self, sandbox, mode):
        """Where the run keeps its log and run folder: the prefix's own for a check under Wine
        (the program takes it from there), the sandbox's otherwise."""
        if self.options.emulator and mode == "check":
            return self.wine_temp()
        return sandbox / "temp"

    def log_path(self, sandbox, mode):
        temp = self.temp_folder(sandbox, mode)
        return temp / "Corvalis Setup.log" if temp else sandbox / "no-wine-temp"

    def listing(self, sandbox):
        """Every entry beneath the sandbox (and, under Wine, what the program could reach in
        the prefix: its run folders and the roaming Adobe folder), links never followed."""
        entries = {}
        roots = [("", sandbox)]
        if self.options.emulator:
            users = os.path.join(self.options.wine_prefix, "drive_c", "users", "*")
            roots += [("wine-roaming-adobe", Path(p))
                      for p in glob.glob(os.path.join(users, "AppData", "Roaming", "Adobe"))]
            roots += [("wine-temp/" + Path(p).name, Path(p))
                      for p in glob.glob(os.path.join(users, "Temp", "corvalis-setup-*"))]
        for label, root in roots:
            if root.is_symlink() or not root.is_dir():
                entries[label] = describe(root)
                continue
            for folder, folders, names in os.walk(root):
                for name in folders + names:
                    path = Path(folder) / name
                    relative = path.relative_to(root).as_posix()
                    entries[f"{label}/{relative}" if label else relative] = describe(path)
        return entries

    # -- one run

    def run(self, scenario, mode, index):
        if self.options.emulator and mode == "install":
            scenario = scenario.for_wine_install()
        run = Run(scenario, mode)
        try:
            self.perform(run, index)
        except Exception:  # reported by the test of this run
            run.error = traceback.format_exc()
        return run

    def perform(self, run, index):
        scenario, mode = run.scenario, run.mode
        run.site = self.host.site(self.genuine)
        run.extra_verify = scenario.build(Play(run.site, self.publisher))
        run.sandbox = sandbox = self.make_sandbox(f"{index:03d}-{mode}-{scenario.name}"[:80])
        if scenario.seed and mode == "install":
            scenario.seed(sandbox)
        log = self.log_path(sandbox, mode)
        log_start = log.stat().st_size if log.exists() else 0
        before = self.listing(sandbox)
        if mode == "check":
            self.run_check(run, sandbox)
        elif self.options.emulator:
            self.run_window_driver(run, sandbox)
        else:
            self.run_terminal_window(run, sandbox)
        after = self.listing(sandbox)
        run.changes = sorted(p for p in set(before) | set(after) if before.get(p) != after.get(p))
        run.created_folders = {p for p in run.changes
                               if p not in before and after.get(p, ("",))[0] == "folder"}
        text = log.read_bytes()[log_start:].decode("utf-8", "replace") if log.exists() else ""
        run.log_text = text
        run.lines = [line[20:] for line in text.split("\r\n")[:-1]]
        run.attempt_lines = [line for line in run.lines if ATTEMPT.match(line)]
        run.stamped = all(re.match(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d ", line)
                          for line in text.split("\r\n")[:-1]) and text.endswith("\r\n")
        temp = self.temp_folder(sandbox, mode)
        run.run_folders = sorted(glob.glob(str(temp / "corvalis-setup-*")))

    def run_check(self, run, sandbox):
        command = [self.options.program, "--check", "--base", run.site.base]
        if self.options.emulator:
            command.insert(0, self.options.emulator)
        result = subprocess.run(command, env=self.environment(sandbox), timeout=180,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        run.exit_code, run.stderr = result.returncode, result.stderr.decode("utf-8", "replace")

    def run_terminal_window(self, run, sandbox):
        result = terminal.press_install_in_terminal(
            [self.options.program, "--base", run.site.base], self.environment(sandbox), 180)
        run.exit_code, run.stderr = result.exit_code, result.stderr
        run.page = {terminal.INSTALLED: "installed", terminal.FAILURE: "failure"}.get(result.page)
        # The page's lines below its heading, as wrapped at the terminal's width.
        run.page_detail = result.lines[1:] if result.page else []
        run.log_shown = str(self.log_path(sandbox, run.mode))
        run.screen = result.screen_text[-3000:]

    def run_window_driver(self, run, sandbox):
        folders = {"--roaming": "appdata", "--temp": "temp", "--program-files": "Program Files",
                   "--program-files-x86": "Program Files (x86)"}
        command = [self.options.emulator, self.options.window_driver, "--base", run.site.base]
        for option, folder in folders.items():
            command += [option, windows_path(sandbox / folder)]
        if run.scenario.hold:
            command += ["--hold", windows_path(sandbox / run.scenario.hold)]
        result = subprocess.run(command, env=self.environment(sandbox), timeout=180,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        run.exit_code, run.stderr = result.returncode, result.stderr.decode("utf-8", "replace")
        shown = result.stdout.decode("utf-8", "replace").splitlines()
        run.screen = "\n".join(shown[-40:])
        pages = [i for i, line in enumerate(shown) if line.startswith("page: ")]
        final = shown[pages[-1]] if pages else ""
        run.page = {"page: " + terminal.INSTALLED: "installed",
                    "page: " + terminal.FAILURE: "failure"}.get(final)
        detail = shown[pages[-1] + 1:] if pages else []
        if detail:
            detail[0] = detail[0].removeprefix("detail: ")
        run.page_detail = detail
        run.log_shown = windows_path(self.log_path(sandbox, run.mode))


def windows_path(path):
    """The path as a program under Wine names it: Wine's drive Z: is the Unix root."""
    return "Z:" + str(PurePosixPath(path)).replace("/", "\\")


def describe(path):
    if path.is_symlink():
        return ("link", os.readlink(path))
    if path.is_dir():
        return ("folder", oct(path.stat().st_mode & 0o7777))
    if path.exists():
        return ("file", oct(path.stat().st_mode & 0o7777), hashlib.sha256(path.read_bytes())
                .hexdigest())
    return ("missing",)


def first_members(document):
    """Parsed as the installer reads it: where a name occurs twice, the first counts."""
    def first(pairs):
        result = {}
        for name, value in pairs:
            result.setdefault(name, value)
        return result
    return json.loads(document, object_pairs_hook=first)


def within(path, place):
    """True when `path` is `place` or lies beneath it ("*" matches one whole segment)."""
    parts, pattern = path.split("/"), place.split("/")
    if len(parts) < len(pattern):
        return False
    return all(p == "*" or p == q for p, q in zip(pattern, parts))


def leads_to(path, place):
    """True when `path` is a folder on the way to `place`."""
    parts, pattern = path.split("/"), place.split("/")
    return len(parts) < len(pattern) and all(
        p == "*" or p == q for p, q in zip(pattern, parts))


# ---------------------------------------------------------------------------------------------
# The judgement of each run, one test per scenario and mode

class HostileHostTest(unittest.TestCase):
    runs = {}

    def judge(self, key):
        run = self.runs[key]
        self.assertIsNone(run.error, "the scenario could not be played")
        scenario, mode = run.scenario, run.mode
        detail = (f"\nlog:\n{run.log_text}\nstderr:\n{run.stderr[-3000:]}"
                  f"\nwindow:\n{run.screen}")
        for marker in ("AddressSanitizer", "LeakSanitizer", "runtime error:"):
            self.assertNotIn(marker, run.stderr, "a sanitizer report" + detail)
        # Nothing changed outside the places this run may write.
        places = [LOG]
        if mode == "install" and (scenario.expect is None or scenario.stage != "loader"):
            places += PANEL_PLACES
        if mode == "install" and scenario.expect is None:
            places += PLUGIN_PLACES
        strays = [p for p in run.changes
                  if not any(within(p, place) for place in places)
                  and not (p in run.created_folders and any(leads_to(p, pl) for pl in places))]
        self.assertEqual(strays, [], "changes outside the places the run may write" + detail)
        if mode == "check":
            self.assertEqual(run.exit_code, 1 if scenario.expect else 0, "exit code" + detail)
        else:
            # Closing the window ends the program normally, whatever the run's outcome; the
            # page tells the outcome, and the Failure page the message and where the log is.
            self.assertEqual(run.page, "failure" if scenario.expect else "installed",
                             "the window's final page" + detail)
            if scenario.expect:
                # The message, a blank line and where the log is, whole however it wraps.
                shown = f"{scenario.expect}\n\nLog: {run.log_shown}"
                self.assertTrue(re.match(terminal.wrapped(shown) + "(\n|$)",
                                         "\n".join(run.page_detail)),
                                f"the page should read:\n{shown}" + detail)
            self.assertEqual(run.exit_code, 0, "exit code after closing the window" + detail)
        self.assertTrue(run.stamped, "every log line is stamped and ends in CR LF" + detail)
        self.assertTrue(run.lines, "the run logged nothing" + detail)
        starting = "Checking" if mode == "check" else "Installing"
        self.assertEqual(run.lines[0], f"{starting} from {run.site.base}")
        failed = "Check failed: " if mode == "check" else "Failed: "
        if scenario.expect:
            last = failed + scenario.expect
        else:
            last = (f"Check passed: loader {scenario.loader_version}, app {scenario.app_version}"
                    if mode == "check" else "Done")
        self.assertEqual(run.lines[-1], last, detail)
        self.assertEqual(sum(line.startswith(failed) for line in run.lines),
                         1 if scenario.expect else 0, detail)
        for line in run.attempt_lines:
            self.assertTrue(line.split()[1].startswith(run.site.base), line)
        if scenario.attempts is not None:
            self.assertEqual(len(run.attempt_lines), scenario.attempts, detail)
        self.assertEqual(run.run_folders, [], "no run folder is left")

        if mode == "install" and scenario.expect is None:
            self.assert_panel_is_the_release(run)
        if scenario.verify:
            scenario.verify(self, run)
        if run.extra_verify:
            run.extra_verify(self, run)

    def assert_panel_is_the_release(self, run):
        """After an install the panel is a real folder holding exactly the listed files."""
        panel = run.sandbox / PANEL
        self.assertFalse(panel.is_symlink())
        listed = first_members(run.site.body(self.release_of_loader(run) + "/release.json"))
        expected = {}
        for entry in listed["files"]:
            url = self.release_of_loader(run) + "/files/" + percent_encode(entry["path"])
            expected[entry["path"].replace("\\", "/")] = run.site.body(url)
        found = {}
        if panel.exists():
            for folder, folders, names in os.walk(panel):
                for name in folders:
                    self.assertFalse((Path(folder) / name).is_symlink(), name)
                for name in names:
                    path = Path(folder) / name
                    found[path.relative_to(panel).as_posix()] = path.read_bytes()
        self.assertEqual(found, expected)

    @staticmethod
    def release_of_loader(run):
        version = first_members(run.site.body("/loader/latest.json"))["version"]
        return f"/loader/{version}"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program")
    parser.add_argument("--tool")
    parser.add_argument("--groups", default=",".join(dict.fromkeys(s.group for s in SCENARIOS)))
    parser.add_argument("--install", action="store_true",
                        help="also run install mode, through the program's terminal window")
    parser.add_argument("--window-driver",
                        help="under Wine: also run install mode through this window driver")
    parser.add_argument("--emulator")
    parser.add_argument("--wine-prefix")
    parser.add_argument("--list", action="store_true")
    options = parser.parse_args()
    if not options.list and not (options.program and options.tool):
        parser.error("--program and --tool are needed to run the scenarios")
    groups = options.groups.split(",")
    unknown = set(groups) - {s.group for s in SCENARIOS}
    if unknown:
        parser.error(f"no such group: {', '.join(sorted(unknown))}")
    chosen = [s for s in SCENARIOS
              if s.group in groups and (s.windows if options.emulator else s.linux)]
    install = options.window_driver if options.emulator else options.install
    modes = ["check"] + (["install"] if install else [])
    jobs = [(s, m) for s in chosen for m in modes if m in s.modes]
    if options.list:
        for s, m in jobs:
            print(f"{s.group}/{s.name} [{m}]")
        print(f"{len({s.name for s, _ in jobs})} scenarios, {len(jobs)} runs")
        return 0

    suite = Suite(options)
    try:
        lock = None
        if install:
            # Install-mode runs wait while anything named like Premiere runs; the unit tests
            # that start such a process hold this lock meanwhile. Groups of this suite share it.
            lock = open("/tmp/corvalis-tests-premiere.lock", "a")
            fcntl.flock(lock, fcntl.LOCK_SH)
        # Under Wine every run shares the prefix's log: one at a time.
        workers = 1 if options.emulator else 8
        with concurrent.futures.ThreadPoolExecutor(workers) as pool:
            futures = {(s.name, m): pool.submit(suite.run, s, m, i)
                       for i, (s, m) in enumerate(jobs)}
            HostileHostTest.runs = {key: f.result() for key, f in futures.items()}
        if lock:
            lock.close()
        for (name, mode) in HostileHostTest.runs:
            group = next(s.group for s in chosen if s.name == name)
            setattr(HostileHostTest, f"test_{group}__{name}__{mode}",
                    lambda self, key=(name, mode): self.judge(key))
        result = unittest.main(argv=[sys.argv[0], "-v"], exit=False).result
        print(f"{len({n for n, _ in HostileHostTest.runs})} scenarios, "
              f"{len(HostileHostTest.runs)} runs")
        return 0 if result.wasSuccessful() else 1
    finally:
        suite.close()


if __name__ == "__main__":
    sys.exit(main())
