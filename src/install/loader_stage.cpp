#include "install/loader_stage.h"

#include <utility>
#include <vector>

#include "app/settings.h"
#include "failure.h"
#include "fs/files.h"
#include "fs/paths.h"
#include "install/channel.h"
#include "json/json.h"
#include "log/setup_log.h"
#include "platform/platform.h"
#include "release/download.h"
#include "release/fetch_release_list.h"

namespace {

// A file of the loader release: its release path and its verified bytes.
struct LoaderFile {
  std::string path;
  std::string bytes;
};

std::u16string user_extensions_root() {
  std::u16string root = known_folder_path(platform::roaming_app_data_folder);
  for (const char16_t* segment : {u"Adobe", u"CEP", u"extensions"}) root = join_path(root, segment);
  return root;
}

// The file's folder: everything before the last separator (the whole path when it has none).
std::u16string parent_folder(const std::u16string& path) {
  const std::size_t separator = path.rfind(platform::path_separator);
  return separator == std::u16string::npos ? path : path.substr(0, separator);
}

}  // namespace

std::u16string panel_folder(const std::u16string& extensions_root) {
  return join_path(extensions_root, u"com.corvalisplugin.panel");
}

std::string install_loader(const std::u16string& run_folder) {
  const std::string version = fetch_channel_version(u"/loader/latest.json");
  const std::u16string release_base = base_url() + u"/loader/" + utf8_to_wide(version);
  const ReleaseList release = fetch_release_list(release_base);
  // The channel and the signed list must agree, or a genuine old list could be replayed under
  // a newer channel version.
  if (release.document.member("version").text != version) {
    throw Failure(release_list_nonsense_message());
  }

  std::vector<LoaderFile> files;
  for (const JsonValue& entry : release.document.member("files").elements) {
    std::string bytes = download_release_file(release_base, entry);
    files.push_back({entry.member("path").text, std::move(bytes)});
  }

  const std::u16string extensions_root =
      check_mode() ? join_path(run_folder, u"extensions") : user_extensions_root();
  const std::u16string panel = panel_folder(extensions_root);
  // Every path is judged before the installed panel goes: a list that names a path we refuse
  // must not leave the user without the panel they had.
  std::vector<std::u16string> targets;
  for (const LoaderFile& file : files) {
    targets.push_back(join_release_path(panel, file.path));
    if (targets.back().empty()) throw Failure(release_list_nonsense_message());
  }
  if (platform::path_exists(panel) && !remove_tree(panel)) {
    throw Failure(
        "Couldn't replace the Corvalis panel that's already installed. Restart your computer and "
        "run Setup again.");
  }

  for (std::size_t i = 0; i < files.size(); ++i) {
    make_folders(parent_folder(targets[i]));
    if (!write_whole_file(targets[i], files[i].bytes)) {
      throw Failure("Couldn't write Corvalis into Premiere's extensions folder.");
    }
    // Written files are on disk: their memory goes back now, not at the end of the stage.
    std::string().swap(files[i].bytes);
  }

  const std::u16string legacy_panel = join_path(extensions_root, u"com.brackmoor.panel");
  if (platform::path_exists(legacy_panel)) remove_tree(legacy_panel);

  log_line("Installed the loader " + version);
  return version;
}
