#include "premiere/command_bridge.h"

#include <string_view>
#include <vector>

#include "failure.h"
#include "fs/commit.h"
#include "fs/files.h"
#include "fs/paths.h"
#include "log/setup_log.h"
#include "platform/file_system.h"
#include "platform/text.h"
#include "premiere/plugin_folders.h"
#include "premiere/settings_document.h"

namespace {

constexpr std::string_view byte_order_mark = "\xEF\xBB\xBF";

[[noreturn]] void fail_to_switch() {
  throw Failure("Couldn't switch the command bridge on in Premiere's settings.");
}

// Logs what failed first: the message alone doesn't say which file resisted, or why.
[[noreturn]] void fail_to_switch_off(const FileError& error) {
  log_line(error.line());
  throw Failure("Couldn't switch the command bridge off in Premiere's settings.");
}

// Digits, one dot, digits: "24.0" and "0.0" are versions; "24", "24.0.1", ".5", "5." are not.
bool is_version_name(std::u16string_view name) {
  const std::size_t dot = name.find(u'.');
  if (dot == std::u16string_view::npos || dot == 0 || dot + 1 == name.size()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (i != dot && (name[i] < u'0' || name[i] > u'9')) return false;
  }
  return true;
}

constexpr std::u16string_view document_name = u"ControlSurfaceSettings.xml";

// The document's content, the settings template when there is none, or a Failure when there is
// one we cannot read: taking the template then would overwrite the user's settings.
std::string settings_content(const platform::OpenFolder& folder, const std::u16string& document) {
  std::string content;
  if (read_whole_file(folder, std::u16string(document_name), document, content)) return content;
  if (platform::path_exists(document)) fail_to_switch();
  return std::string(settings_template);
}

// Calls `visit(version, version_path)` for each version folder under the settings root. Every
// folder on the way is opened as itself, never through a link, and held open while its document
// is changed: the user (or anything the user runs) can change these folders, and an elevated
// Setup must not be led to write or clear anything elsewhere. A version folder that is a link is
// left alone.
template <typename Visit>
void for_each_version(const std::u16string& settings_root, Visit visit) {
  platform::FolderListing listing;
  if (!listing.open(settings_root, u"*")) return;
  platform::FolderEntry entry;
  while (listing.next(entry)) {
    if (!entry.is_folder || entry.is_link || !is_version_name(entry.name)) continue;
    const std::u16string version_path = join_path(settings_root, entry.name);
    platform::OpenFolder version;
    if (!version.open(version_path)) continue;  // gone, or swapped for a link, since the listing
    visit(version, version_path);
  }
}

// Takes away the document the on-switch made from nothing, through its folder held open: with
// its folder in one switch when nothing else is in it (the on-switch made that too), else alone.
// Either way it is there, whole, or gone; so is the folder.
void delete_document(const platform::OpenFolder& version, const std::u16string& version_path,
                     platform::OpenFolder& folder, const std::u16string& folder_path) {
  FileError error;
  std::vector<platform::FolderEntry> entries;
  if (folder.list(entries) && entries.size() == 1) {
    folder.close();  // Windows renames no folder that is open
    const CommitPlace place{&version, version_path, version, version_path, u"ControlSurface"};
    PlaceSwitch change(place);
    if (change.put_in_place(/*staged=*/false, /*back_to_back=*/false, &error) !=
        SwitchResult::done) {
      fail_to_switch_off(error);
    }
    return;
  }
  if (!remove_entry(folder, folder_path, std::u16string(document_name), &error)) {
    fail_to_switch_off(error);
  }
}

// Switches the command bridge off in the document of one version folder; true when it did.
bool switch_off_in(const platform::OpenFolder& version, const std::u16string& version_path) {
  const std::u16string folder_path = join_path(version_path, u"ControlSurface");
  const std::u16string document = join_path(folder_path, document_name);
  platform::OpenFolder folder;
  // Missing, or no folder of its own (a file, a link): nothing the on-switch wrote is there.
  if (!folder.open(version, u"ControlSurface")) return false;

  std::string content;
  FileError error;
  if (!read_whole_file(folder, std::u16string(document_name), document, content, &error)) {
    if (!platform::path_exists(document)) return false;
    fail_to_switch_off(error);
  }
  // The on-switch dropped the mark when it rewrote the document, and it doesn't come back.
  if (content.starts_with(byte_order_mark)) content.erase(0, byte_order_mark.size());

  const CommandBridgeRemoval removal =
      remove_command_bridge(content, platform::utf16_to_utf8(control_surface_plugin_path()));
  switch (removal.outcome) {
    case CommandBridgeRemoval::Outcome::not_there:
      return false;
    case CommandBridgeRemoval::Outcome::changed_since:
      log_line("Left the command bridge on in " + platform::utf16_to_utf8(document) +
               ": its entries were changed since Setup added them");
      return false;
    case CommandBridgeRemoval::Outcome::only_template_left:
      delete_document(version, version_path, folder, folder_path);
      return true;
    case CommandBridgeRemoval::Outcome::removed:
      break;
  }
  if (!replace_whole_file(folder, folder_path, std::u16string(document_name), removal.document,
                          &error)) {
    fail_to_switch_off(error);
  }
  return true;
}

}  // namespace

std::u16string premiere_settings_root(const std::u16string& roaming_folder) {
  return join_path(join_path(roaming_folder, u"Adobe"), u"Premiere Pro");
}

int switch_command_bridge_on(const std::u16string& roaming_folder) {
  return switch_command_bridge_on_under(premiere_settings_root(roaming_folder));
}

void remove_settings_leftovers(const std::u16string& roaming_folder) {
  remove_settings_leftovers_under(premiere_settings_root(roaming_folder));
}

void remove_settings_leftovers_under(const std::u16string& settings_root) {
  for_each_version(
      settings_root, [](const platform::OpenFolder& version, const std::u16string& version_path) {
        clear_beside_file(join_path(join_path(version_path, u"ControlSurface"), document_name));
        // An off-switch takes a folder that holds only the document away whole.
        clear_beside({&version, version_path, version, version_path, u"ControlSurface"});
      });
}

int switch_command_bridge_off(const std::u16string& roaming_folder) {
  return switch_command_bridge_off_under(premiere_settings_root(roaming_folder));
}

int switch_command_bridge_off_under(const std::u16string& settings_root) {
  int switched_off = 0;
  for_each_version(settings_root,
                   [&](const platform::OpenFolder& version, const std::u16string& version_path) {
                     if (switch_off_in(version, version_path)) ++switched_off;
                   });
  return switched_off;
}

int switch_command_bridge_on_under(const std::u16string& settings_root) {
  int written = 0;
  for_each_version(settings_root, [&](const platform::OpenFolder& version,
                                      const std::u16string& version_path) {
    const std::u16string folder_path = join_path(version_path, u"ControlSurface");
    const std::u16string document = join_path(folder_path, document_name);

    platform::OpenFolder folder;
    const bool existed = folder.open(version, u"ControlSurface");
    // Something there that is no folder of its own (a file, a link) holds no document we write.
    if (!existed && platform::path_exists(folder_path)) fail_to_switch();
    std::string content =
        existed ? settings_content(folder, document) : std::string(settings_template);
    // The mark stays in a document we leave alone; one we rewrite is written without it.
    if (content.starts_with(byte_order_mark)) content.erase(0, byte_order_mark.size());

    const std::string edited =
        add_command_bridge(content, platform::utf16_to_utf8(control_surface_plugin_path()));
    if (edited == content) return;

    FileError error;
    if (!existed &&
        version.create_folder(u"ControlSurface") == platform::CreateFolderResult::failed) {
      log_line(FileError{"Create folder " + platform::utf16_to_utf8(folder_path), folder_path,
                         platform::last_file_error()}
                   .line());
      throw Failure(folder_not_made_message(folder_path));
    }
    if (!existed && !folder.open(version, u"ControlSurface")) fail_to_switch();
    // Written beside the document and moved over it: a failure on the way leaves the user's
    // settings as they were.
    if (!replace_whole_file(folder, folder_path, std::u16string(document_name), edited, &error)) {
      log_line(error.line());
      fail_to_switch();
    }
    ++written;
  });
  return written;
}
