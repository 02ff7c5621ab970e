#include "install/registration.h"

#include <vector>

#include "failure.h"
#include "fs/commit.h"
#include "fs/files.h"
#include "fs/paths.h"
#include "log/setup_log.h"
#include "platform/file_system.h"
#include "platform/text.h"
#include "platform/users.h"
#include "premiere/plugin_folders.h"

namespace {

std::u16string kept_copy_folder() {
  return join_path(program_files_folder(), u"Corvalis");
}

std::u16string kept_copy_name() {
  return u"corvalis-setup" + std::u16string(platform::program_suffix);
}

std::string utf8(const std::u16string& text) {
  return platform::utf16_to_utf8(text);
}

std::string registry_step(const char* what, std::uint32_t code) {
  return FileError{std::string(what) + " HKLM\\" + utf8(uninstall_entry().path), {}, code}.line();
}

[[noreturn]] void fail_to_remove(const char* what) {
  throw Failure(std::string("Couldn't remove ") + what + ". Restart your computer and try again.");
}

// Takes the kept copy away through the folder `side` (found at `side_path`): set aside there,
// then removed, or deleted at the next restart when it is running.
SwitchResult take_copy_away(const platform::OpenFolder& folder, const platform::OpenFolder& side,
                            const std::u16string& side_path, FileError* error) {
  const CommitPlace place{&folder, kept_copy_folder(), side, side_path, kept_copy_name()};
  PlaceSwitch change(place);
  return change.put_in_place(/*staged=*/false, /*back_to_back=*/false, error);
}

}  // namespace

std::u16string kept_copy_path() {
  return join_path(kept_copy_folder(), kept_copy_name());
}

platform::RegistryKey uninstall_entry() {
  return {u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Corvalis",
          join_path(kept_copy_folder(), u"uninstall-entry")};
}

void register_with_windows(const std::u16string& program, const std::string& app_version,
                           std::uint64_t bytes_installed) {
  const std::u16string copy = kept_copy_path();
  std::string bytes;
  FileError error;
  if (!read_whole_file(program, bytes, &error) ||
      replace_file_in_use(copy, bytes, &error) != SwitchResult::done) {
    log_line(error.line());
    return;
  }
  if (!platform::make_executable(copy)) {
    log_line(
        FileError{"Make " + utf8(copy) + " a program", copy, platform::last_file_error()}.line());
    return;
  }
  const std::u16string quoted = u"\"" + copy + u"\"";
  const std::uint64_t kib = (bytes_installed + bytes.size() + 1023) / 1024;
  const auto text = [](const char16_t* name, std::u16string value) {
    return platform::RegistryValue{name, std::move(value), {}};
  };
  const auto number = [](const char16_t* name, std::uint64_t value) {
    return platform::RegistryValue{
        name, {}, static_cast<std::uint32_t>(std::min<std::uint64_t>(value, 0xFFFFFFFFu))};
  };
  std::uint32_t code = 0;
  if (!platform::write_registry_values(
          uninstall_entry(),
          {text(u"DisplayName", u"Corvalis for Premiere Pro"),
           text(u"DisplayVersion", platform::utf8_to_utf16(app_version)),
           text(u"Publisher", u"Corvalis"), text(u"DisplayIcon", copy + u",0"),
           text(u"InstallLocation", kept_copy_folder()),
           text(u"UninstallString", quoted + u" --uninstall"),
           text(u"QuietUninstallString", quoted + u" --uninstall --silent"), number(u"NoModify", 1),
           number(u"NoRepair", 1), number(u"EstimatedSize", kib)},
          code)) {
    log_line(registry_step("Write", code));
    return;
  }
  log_line("Registered Corvalis with Windows");
}

Unregistered unregister_from_windows() {
  Unregistered done;
  const std::u16string folder_path = kept_copy_folder();
  {
    platform::OpenFolder folder;
    if (folder.open(folder_path) && platform::path_exists(kept_copy_path())) {
      FileError error;
      // Moved out whole to Setup's temporary folder, on the same volume as a rule; elsewhere it
      // is set aside in its own folder, which then goes at the next restart with it.
      const std::u16string temp = without_trailing_separator(platform::temp_folder());
      platform::OpenFolder temp_folder;
      SwitchResult result = SwitchResult::untouched;
      if (temp_folder.open(temp)) result = take_copy_away(folder, temp_folder, temp, &error);
      if (result == SwitchResult::untouched) {
        result = take_copy_away(folder, folder, folder_path, &error);
      }
      if (result != SwitchResult::done) {
        log_line(error.line());
        fail_to_remove("Setup's own copy from Program Files");
      }
      done.copy_removed = true;
    }
  }
  std::uint32_t code = 0;
  if (!platform::delete_registry_key(uninstall_entry(), done.entry_removed, code)) {
    log_line(registry_step("Delete", code));
    fail_to_remove("Corvalis from the list of installed apps");
  }
  // Only an empty folder goes: what resists waits for the next restart, or the next run.
  if (platform::path_exists(folder_path)) static_cast<void>(platform::remove_folder(folder_path));
  return done;
}

void remove_kept_copy_leftovers() {
  const std::u16string folder_path = kept_copy_folder();
  platform::OpenFolder folder;
  const bool has_folder = folder.open(folder_path);
  if (has_folder) clear_beside({&folder, folder_path, folder, folder_path, kept_copy_name()});
  const std::u16string temp = without_trailing_separator(platform::temp_folder());
  platform::OpenFolder temp_folder;
  if (temp_folder.open(temp)) {
    clear_beside(
        {has_folder ? &folder : nullptr, folder_path, temp_folder, temp, kept_copy_name()});
  }
}
