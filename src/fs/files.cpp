#include "fs/files.h"

#include <string_view>

#include "failure.h"
#include "fs/paths.h"
#include "platform/platform.h"

namespace {

// Files of 1 GiB or more are never read: nothing the installer reads is anywhere near that,
// and the whole file is held in memory.
constexpr std::uint64_t read_limit = 0x40000000;

constexpr std::u16string_view leftover_suffix = u".corvalis-old";

// The lowest index at which a separator may end a parent step. On Windows a separator at index
// 0, 1 or 2 ("\name", "C:\name", "\\server") belongs to a root that is never created; on POSIX
// only the leading "/" is such a root, so a path like "/a" has no parent step (and "" is never
// created).
std::size_t first_parent_separator() {
  return platform::path_separator == u'\\' ? 3 : 1;
}

// Deletes every "*.corvalis-old" file in the folder that can be deleted now; the others are
// tried again by a later call.
void delete_leftovers(const std::u16string& folder) {
  platform::FolderListing listing;
  // A target without a folder lives in the current folder.
  if (!listing.open(folder.empty() ? u"." : folder, u"*" + std::u16string(leftover_suffix))) {
    return;
  }
  platform::FolderEntry entry;
  while (listing.next(entry)) {
    if (!entry.is_folder) platform::delete_file(join_path(folder, entry.name));
  }
}

}  // namespace

void make_folders(const std::u16string& path) {
  if (path.empty() || platform::path_exists(path)) return;
  const std::size_t last = path.find_last_of(platform::path_separator);
  if (last != std::u16string::npos && last >= first_parent_separator()) {
    make_folders(path.substr(0, last));
  }
  if (platform::create_folder(path) == platform::CreateFolderResult::failed) {
    throw Failure("Couldn't make the folder " + platform::utf16_to_utf8(path) + ".");
  }
}

bool write_whole_file(const std::u16string& path, const std::string& content) {
  bool written = false;
  {
    platform::File file;
    if (!file.open(path, platform::File::Mode::write_exclusive)) return false;
    written = content.empty() || file.write(content.data(), content.size());
  }
  // Closed first: a file cannot be deleted while our own exclusive handle is open. Only the
  // file we just created or truncated is deleted, so nothing that was whole is lost here.
  if (!written) platform::delete_file(path);
  return written;
}

bool read_whole_file(const std::u16string& path, std::string& buffer) {
  platform::File file;
  std::uint64_t size = 0;
  if (!file.open(path, platform::File::Mode::read_shared) || !file.size(size) ||
      size >= read_limit) {
    return false;
  }
  buffer.resize(static_cast<std::size_t>(size));
  return size == 0 || file.read(buffer.data(), buffer.size());
}

bool remove_tree(const std::u16string& path) {
  // A link handed to us is removed as a link: enumerating it would delete the contents of a
  // folder that is not ours.
  if (platform::is_link(path)) return platform::remove_folder(path) || !platform::path_exists(path);

  platform::FolderListing listing;
  if (listing.open(path, u"*")) {
    platform::FolderEntry entry;
    while (listing.next(entry)) {
      const std::u16string child = join_path(path, entry.name);
      // Clears read-only, hidden and system (POSIX: makes the entry writable) so it can go; a
      // link's own attributes are reset, never its target's.
      platform::reset_attributes(child);
      if (!entry.is_folder) {
        platform::delete_file(child);
      } else if (entry.is_link) {
        platform::remove_folder(child);  // the link only; its target is never entered
      } else {
        remove_tree(child);
      }
    }
  }
  // Whatever resisted inside keeps the folder from going; that is the only report it gets.
  return platform::remove_folder(path) || !platform::path_exists(path);
}

bool replace_file_in_use(const std::u16string& target, const std::string& content) {
  const std::size_t last = target.find_last_of(platform::path_separator);
  // Without a separator the target is a name in the current folder, which exists already.
  const std::u16string folder =
      last == std::u16string::npos ? std::u16string() : target.substr(0, last);
  try {
    make_folders(folder);
  } catch (const Failure&) {
    return false;
  }

  delete_leftovers(folder);

  if (platform::path_exists(target) && !platform::delete_file(target)) {
    // Still held open (a loaded plug-in is): move it out of the way under a name that marks it
    // for deletion by a later call.
    const std::u16string leftover =
        target + u"." + decimal(platform::tick_count()) + std::u16string(leftover_suffix);
    if (!platform::move_file_replacing(target, leftover, false)) return false;
  }
  return write_whole_file(target, content);
}
