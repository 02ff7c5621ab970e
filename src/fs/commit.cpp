#include "fs/commit.h"

#include <set>
#include <string_view>
#include <vector>

#include "fs/paths.h"
#include "platform/file_system.h"
#include "platform/process.h"
#include "platform/text.h"

namespace {

constexpr std::u16string_view staged_suffix = u".corvalis-new";
constexpr std::u16string_view record_suffix = u".corvalis-switch";
constexpr std::u16string_view aside_suffix = u".corvalis-old";
constexpr std::u16string_view removed_suffix = u".removed.corvalis-old";

std::string utf8(const std::u16string& text) {
  return platform::utf16_to_utf8(text);
}

// The first failure of a switch is the one the rest follows from.
void keep_first(FileError* error, const FileError& step) {
  if (error && error->step.empty()) *error = step;
}

// The switch ids of the copies beside one place, by kind.
struct Beside {
  std::set<std::u16string> staged, records, aside, removed;
};

// What the side folder holds of `name`'s switches: entries named `name` + "." + digits + one of
// the suffixes. Links are never ours.
Beside copies_beside(const CommitPlace& place) {
  Beside found;
  std::vector<platform::FolderEntry> entries;
  if (!place.side.list(entries)) return found;
  const std::u16string prefix = place.name + u".";
  for (const platform::FolderEntry& entry : entries) {
    if (entry.is_link || !entry.name.starts_with(prefix)) continue;
    const std::u16string_view rest = std::u16string_view(entry.name).substr(prefix.size());
    // The longest suffix first: a copy on its way out also ends like a set-aside one.
    for (auto [suffix, kind] :
         {std::pair{removed_suffix, &Beside::removed}, std::pair{staged_suffix, &Beside::staged},
          std::pair{record_suffix, &Beside::records}, std::pair{aside_suffix, &Beside::aside}}) {
      if (!rest.ends_with(suffix)) continue;
      const std::u16string_view id = rest.substr(0, rest.size() - suffix.size());
      if (is_decimal(id)) (found.*kind).emplace(id);
      break;
    }
  }
  return found;
}

std::u16string copy_name(const CommitPlace& place, const std::u16string& id,
                         std::u16string_view suffix) {
  return place.name + u"." + id + std::u16string(suffix);
}

bool place_is_there(const CommitPlace& place) {
  return platform::path_exists(join_path(place.folder_path, place.name));
}

// Step 4, and the clean-up of a set-aside copy whose place is whole: its record goes first, since
// the place no longer needs it back, then the copy is renamed out of reach of every put-back, then
// removed as far as it goes. False when it could not even be renamed: it stays whole, and
// without a record nothing will ever put it back.
bool retire(const CommitPlace& place, const std::u16string& id) {
  static_cast<void>(place.side.remove(copy_name(place, id, record_suffix)));
  const std::u16string aside = copy_name(place, id, aside_suffix);
  const std::u16string removed = copy_name(place, id, removed_suffix);
  if (!rename_between(place.side, place.side_path, aside, place.side, place.side_path, removed)) {
    return false;
  }
  // What resists (a file another program keeps open, a plug-in still loaded, the running
  // program) is not waited for: a file goes at the next restart, anything else at a later run.
  if (!remove_entry(place.side, place.side_path, removed, nullptr, /*wait_out_holds=*/false)) {
    platform::OpenFolder folder;
    if (!folder.open(place.side, removed)) {
      static_cast<void>(platform::delete_at_restart(join_path(place.side_path, removed)));
    }
  }
  return true;
}

}  // namespace

RunLock::Result RunLock::take(const std::u16string& folder, FileError* error) {
  if (!make_folders(folder, error)) return Result::folder_not_made;
  switch (lock_.take(u"corvalis-setup", folder)) {
    case platform::MachineLock::Result::taken:
      return Result::taken;
    case platform::MachineLock::Result::held_elsewhere:
      return Result::held_elsewhere;
    case platform::MachineLock::Result::failed:
      break;
  }
  keep_first(error, {"Take the lock of Setup's runs in " + utf8(folder), folder,
                     platform::last_file_error()});
  return Result::failed;
}

PlaceSwitch::PlaceSwitch(const CommitPlace& place) : place_(place) {
  const Beside beside = copies_beside(place);
  const auto used = [&](const std::u16string& id) {
    return beside.staged.contains(id) || beside.records.contains(id) || beside.aside.contains(id) ||
           beside.removed.contains(id);
  };
  std::uint64_t number = platform::tick_count();
  while (used(decimal(number))) ++number;
  id_ = decimal(number);
  staged_ = copy_name(place, id_, staged_suffix);
  record_ = copy_name(place, id_, record_suffix);
  aside_ = copy_name(place, id_, aside_suffix);
}

PlaceSwitch::~PlaceSwitch() {
  // A new copy still beside the place was never switched in: it goes, whatever ended the switch.
  if (platform::path_exists(join_path(place_.side_path, staged_))) {
    static_cast<void>(remove_entry(place_.side, place_.side_path, staged_));
  }
}

bool PlaceSwitch::replace(FileError* error) {
  return rename_in(/*wait_out_holds=*/true, error);
}

SwitchResult PlaceSwitch::put_in_place(bool staged, bool back_to_back, FileError* error) {
  if (!place_is_there(place_)) {
    return !staged || rename_in(/*wait_out_holds=*/true, error) ? SwitchResult::done
                                                                : SwitchResult::new_refused;
  }
  if (!set_aside(/*wait_out_holds=*/!back_to_back, error)) return SwitchResult::untouched;
  if (staged && !rename_in(/*wait_out_holds=*/!back_to_back, error)) {
    return put_back(error) ? SwitchResult::new_refused : SwitchResult::place_emptied;
  }
  // The place is new (or empty, as asked): what it held goes, or stays aside for a later run.
  static_cast<void>(retire(place_, id_));
  return SwitchResult::done;
}

bool PlaceSwitch::set_aside(bool wait_out_holds, FileError* error) {
  // The record reaches the disk before the place is touched: it is the only evidence a later
  // run has that the copy aside is this place's, set aside by a switch that was cut short.
  FileError step;
  if (!create_whole_file(place_.side, place_.side_path, record_, utf8(place_.name) + "\n", &step) ||
      !place_.side.flush()) {
    if (step.step.empty()) {
      step = {"Write " + utf8(join_path(place_.side_path, record_)), place_.side_path,
              platform::last_file_error()};
    }
    keep_first(error, step);
    static_cast<void>(place_.side.remove(record_));
    return false;
  }
  if (rename_between(*place_.folder, place_.folder_path, place_.name, place_.side, place_.side_path,
                     aside_, &step, wait_out_holds)) {
    return true;
  }
  keep_first(error, step);
  static_cast<void>(place_.side.remove(record_));
  return false;
}

bool PlaceSwitch::rename_in(bool wait_out_holds, FileError* error) {
  FileError step;
  if (rename_between(place_.side, place_.side_path, staged_, *place_.folder, place_.folder_path,
                     place_.name, &step, wait_out_holds)) {
    return true;
  }
  keep_first(error, step);
  return false;
}

bool PlaceSwitch::put_back(FileError* error) {
  FileError step;
  if (!rename_between(place_.side, place_.side_path, aside_, *place_.folder, place_.folder_path,
                      place_.name, &step)) {
    // The record stays: the next run puts the copy back. The log names the place now empty.
    if (error) *error = step;
    return false;
  }
  static_cast<void>(place_.side.remove(record_));
  return true;
}

void clear_beside(const CommitPlace& place) {
  Beside beside = copies_beside(place);
  for (const std::u16string& id : beside.records) {
    if (beside.aside.contains(id)) {
      // A switch cut between its two renames left the place empty and this copy aside. Without
      // the place's folder it cannot go back yet, and the evidence stays.
      if (!place.folder) continue;
      const bool put_back =
          !place_is_there(place) &&
          rename_between(place.side, place.side_path, copy_name(place, id, aside_suffix),
                         *place.folder, place.folder_path, place.name);
      if (put_back || retire(place, id)) beside.aside.erase(id);
    }
    // A record whose copy is gone (or was never made) proves nothing any more.
    if (!beside.aside.contains(id)) {
      static_cast<void>(place.side.remove(copy_name(place, id, record_suffix)));
    }
  }
  for (const std::u16string& id : beside.aside) {
    // Without a record, a copy aside is no evidence of anything: it is never put back.
    if (!beside.records.contains(id)) static_cast<void>(retire(place, id));
  }
  for (const auto& [ids, suffix] :
       {std::pair{&beside.staged, staged_suffix}, std::pair{&beside.removed, removed_suffix}}) {
    for (const std::u16string& id : *ids) {
      static_cast<void>(remove_entry(place.side, place.side_path, copy_name(place, id, suffix),
                                     nullptr, /*wait_out_holds=*/false));
    }
  }
}

void clear_beside_file(const std::u16string& path) {
  const auto [folder_path, name] = folder_and_name(path);
  platform::OpenFolder folder;
  if (!folder.open(folder_path)) return;
  clear_beside({&folder, folder_path, folder, folder_path, name});
}

bool replace_whole_file(const platform::OpenFolder& folder, const std::u16string& folder_path,
                        const std::u16string& name, const std::string& content, FileError* error) {
  const CommitPlace place{&folder, folder_path, folder, folder_path, name};
  PlaceSwitch change(place);
  return create_whole_file(folder, folder_path, change.staged_name(), content, error) &&
         change.replace(error);
}

SwitchResult replace_file_in_use(const std::u16string& target, const std::string& content,
                                 FileError* error) {
  if (error) *error = FileError{};
  const auto [folder_path, name] = folder_and_name(target);
  FileError step;
  if (!make_folders(folder_path, &step)) {
    keep_first(error, step);
    return SwitchResult::untouched;
  }
  // Held open as itself while the plug-in changes: its path then names no other folder.
  platform::OpenFolder folder;
  if (!folder.open(folder_path)) {
    keep_first(error, {"Read " + utf8(folder_path), folder_path, platform::last_file_error()});
    return SwitchResult::untouched;
  }
  const CommitPlace place{&folder, folder_path, folder, folder_path, name};
  clear_beside(place);

  PlaceSwitch change(place);
  if (!create_whole_file(folder, folder_path, change.staged_name(), content, &step)) {
    keep_first(error, step);
    return SwitchResult::untouched;
  }
  // One replacing rename keeps a plug-in at the target throughout; it is tried again while
  // another program holds either file for a moment. Only a target that still resists (a
  // plug-in a running program has loaded) is set aside, with the two renames back to back.
  if (!place_is_there(place)) return change.put_in_place(/*staged=*/true, false, error);
  if (change.replace(error)) return SwitchResult::done;
  return change.put_in_place(/*staged=*/true, /*back_to_back=*/true, error);
}
