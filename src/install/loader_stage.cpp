#include "install/loader_stage.h"

#include <functional>
#include <utility>
#include <vector>

#include "failure.h"
#include "fs/commit.h"
#include "fs/files.h"
#include "fs/paths.h"
#include "install/channel.h"
#include "json/json.h"
#include "log/setup_log.h"
#include "platform/file_system.h"
#include "platform/text.h"
#include "product.h"
#include "release/download.h"
#include "release/fetch_release_list.h"

namespace {

// A file of the loader release: its place beneath the panel folder (its release path, judged
// and joined segment by segment) and the staging file in the run folder that holds its verified
// bytes.
struct LoaderFile {
  std::u16string place;
  std::u16string staged;
};

std::u16string user_extensions_root(const std::u16string& roaming_folder) {
  std::u16string root = roaming_folder;
  for (const char16_t* segment : {u"Adobe", u"CEP", u"extensions"}) root = join_path(root, segment);
  return root;
}

// The file's folder: everything before the last separator (the whole path when it has none).
std::u16string parent_folder(const std::u16string& path) {
  const std::size_t separator = path.rfind(platform::path_separator);
  return separator == std::u16string::npos ? path : path.substr(0, separator);
}

constexpr std::u16string_view panel_name = u"com.corvalisplugin.panel";
constexpr const char* not_written_message =
    "Couldn't write Corvalis into Premiere's extensions folder.";

// The folder the panel is installed into beneath an extensions root.
std::u16string panel_folder(const std::u16string& extensions_root) {
  return join_path(extensions_root, panel_name);
}

// Puts the verified files into the new folder `staging`, each forced to the disk with `flush` (a
// check's panel goes with its run folder and needs none). Throws the Failure; what was put
// together goes with the switch that named it.
void stage_panel(const std::vector<LoaderFile>& files, const std::u16string& staging, bool flush) {
  FileError error;
  const auto fail = [&](const std::string& message) {
    log_line(error.line());
    throw Failure(message);
  };
  if (!make_folders(staging, &error)) fail(folder_not_made_message(error.path));
  // Held open while it fills: the user (or anything the user runs) may change the folders beside
  // it, and an elevated Setup must not be led to write anywhere else.
  platform::OpenFolder folder;
  if (!folder.open(staging)) {
    error = {"Create folder " + platform::utf16_to_utf8(staging), staging,
             platform::last_file_error()};
    fail(folder_not_made_message(staging));
  }
  for (const LoaderFile& file : files) {
    const PlaceResult placed =
        place_file_below(folder, staging, file.place, file.staged, flush, &error);
    if (placed == PlaceResult::folder_not_made) fail(folder_not_made_message(error.path));
    if (placed == PlaceResult::not_written) fail(not_written_message);
  }
}

constexpr const char* not_replaced_message =
    "Couldn't replace the Corvalis panel that's already installed. Restart your computer and run "
    "Setup again.";

// Replaces the panel beneath `extensions_root` with `files` (none: takes it away) in one switch.
// The new panel is put together beside the extensions folder, not in it: a copy inside it, left
// by a run cut short, would load as a second copy of the extension. Every path was judged before
// the downloads, and the new panel is whole before the installed one is touched, so a failure
// leaves the user with the panel they had.
void switch_panel(const std::vector<LoaderFile>& files, const std::u16string& extensions_root,
                  bool flush, const std::function<void()>& before_switch) {
  const std::u16string cep_path = parent_folder(extensions_root);
  const std::u16string panel = panel_folder(extensions_root);
  const bool staged = !files.empty();  // a release without files leaves no folder to stage
  FileError error;
  const auto fail = [&](const std::string& message) {
    log_line(error.line());
    throw Failure(message);
  };
  if (staged && !make_folders(extensions_root, &error)) fail(folder_not_made_message(error.path));
  // The switch goes through the folders held open as themselves: a link put in place of the
  // extensions folder leads the panel nowhere else.
  platform::OpenFolder cep;
  platform::OpenFolder extensions;
  if (!cep.open(cep_path) || !extensions.open(cep, u"extensions")) {
    if (!staged && !platform::path_exists(panel)) return;  // nothing to take away
    error = {"Read " + platform::utf16_to_utf8(extensions_root), extensions_root,
             platform::last_file_error()};
    fail(staged ? not_written_message : not_replaced_message);
  }
  const CommitPlace place{&extensions, extensions_root, cep, cep_path, std::u16string(panel_name)};
  PlaceSwitch change(place);
  if (staged) stage_panel(files, join_path(cep_path, change.staged_name()), flush);

  before_switch();
  // Links in the installed panel (or a panel that is a link) go first, as links; a panel that
  // cannot go whole, a file of it held open by another program, is left as it is.
  if (!ready_to_move_tree(panel, &error)) fail(not_replaced_message);
  const SwitchResult result = change.put_in_place(staged, /*back_to_back=*/false, &error);
  if (result == SwitchResult::untouched) fail(not_replaced_message);
  if (result != SwitchResult::done) fail(not_written_message);
  // Put together beside the extensions folder, the panel takes the permissions this folder gives
  // new entries, and its files with it.
  if (staged && !inherit_permissions(extensions, extensions_root, place.name, &error)) {
    fail(not_written_message);
  }
}

}  // namespace

InstalledLoader install_loader(const RunSettings& settings, const std::u16string& run_folder,
                               const std::u16string& roaming_folder, DownloadProgress& progress,
                               const std::function<void()>& before_switch) {
  const std::string version = fetch_channel_version(settings.base, u"/loader/latest.json");
  const std::u16string release_base =
      settings.base + u"/loader/" + platform::utf8_to_utf16(version);
  const ReleaseList release = fetch_release_list(release_base);
  // The channel and the signed list must agree, or a genuine old list could be replayed under
  // a newer channel version.
  if (release.document.member("version").text != version) {
    throw Failure(nonsense_release_list_message);
  }

  // Every path is judged before any file is requested: a path that would leave the panel
  // folder must not reach the host either, where a client or server resolving its dot segments
  // would turn it into a request for some other file. Whether a path is refused does not
  // depend on the root, so the panel folder need not be known yet.
  const std::vector<JsonValue>& entries = release.document.member("files").elements;
  std::vector<LoaderFile> files;
  std::uint64_t bytes = 0;
  for (const JsonValue& entry : entries) {
    std::u16string place = join_release_path(u"", entry.member("path").text);
    if (place.empty()) throw Failure(nonsense_release_list_message);
    files.push_back({std::move(place), {}});
    const std::uint64_t size = listed_file_size(entry);
    progress.expect(size);
    bytes += size;
  }
  const ReceivedBytes received = [&progress](std::uint64_t bytes) { progress.received(bytes); };
  for (std::size_t i = 0; i < files.size(); ++i) {
    files[i].staged = join_path(run_folder, u"loader-" + decimal(i) + u".download");
    download_release_file(release_base, entries[i], files[i].staged, received);
    progress.file_done();
  }

  const std::u16string extensions_root =
      settings.check ? join_path(run_folder, u"extensions") : user_extensions_root(roaming_folder);
  switch_panel(files, extensions_root, /*flush=*/!settings.check, before_switch);

  const std::u16string legacy_panel = join_path(extensions_root, u"com.brackmoor.panel");
  // The legacy panel goes if it can; one that stays harms nothing.
  if (platform::path_exists(legacy_panel)) static_cast<void>(remove_tree(legacy_panel));

  log_line("Installed the loader " + version);
  return {version, bytes};
}

bool remove_panel(const std::u16string& roaming_folder) {
  const std::u16string extensions_root = user_extensions_root(roaming_folder);
  const std::u16string cep_path = parent_folder(extensions_root);
  const std::u16string panel = panel_folder(extensions_root);
  platform::OpenFolder cep;
  platform::OpenFolder extensions;
  if (!platform::path_exists(panel) || !cep.open(cep_path) ||
      !extensions.open(cep, u"extensions")) {
    return false;  // nothing of ours to take away where Premiere looks
  }
  FileError error;
  const CommitPlace place{&extensions, extensions_root, cep, cep_path, std::u16string(panel_name)};
  PlaceSwitch change(place);
  if (!ready_to_move_tree(panel, &error) ||
      change.put_in_place(/*staged=*/false, /*back_to_back=*/false, &error) != SwitchResult::done) {
    log_line(error.line());
    throw Failure("Couldn't remove the Corvalis panel. Restart your computer and try again.");
  }
  return true;
}

void remove_panel_leftovers(const std::u16string& roaming_folder) {
  const std::u16string extensions_root = user_extensions_root(roaming_folder);
  const std::u16string cep_path = parent_folder(extensions_root);
  platform::OpenFolder cep;
  platform::OpenFolder extensions;
  if (!cep.open(cep_path)) return;
  // Without an extensions folder of its own there is nowhere to put a panel back yet.
  const bool has_extensions = extensions.open(cep, u"extensions");
  clear_beside({has_extensions ? &extensions : nullptr, extensions_root, cep, cep_path,
                std::u16string(panel_name)});
}
