#include "fs/files.h"

#include <algorithm>
#include <memory>
#include <string_view>
#include <vector>

#include "fs/paths.h"
#include "platform/file_system.h"
#include "platform/process.h"
#include "platform/text.h"

namespace {

// Files of 1 GiB or more are never read: nothing the installer reads is anywhere near that,
// and the whole file is held in memory.
constexpr std::uint64_t read_limit = 0x40000000;

// Files copied across volumes go a quarter MiB at a time, as downloads arrive.
constexpr std::uint64_t copy_piece_bytes = 256 * 1024;

// How long a step waits out another program's brief hold on a file: pauses that start short and
// double, about five seconds in all.
constexpr std::uint32_t first_pause_ms = 50;
constexpr std::uint32_t longest_pause_ms = 1000;
constexpr std::uint32_t retry_budget_ms = 5000;

// The lowest index at which a separator may end a parent step. On Windows a separator at index
// 0, 1 or 2 ("\name", "C:\name", "\\server") belongs to a root that is never created; on POSIX
// only the leading "/" is such a root, so a path like "/a" has no parent step (and "" is never
// created).
std::size_t first_parent_separator() {
  return platform::path_separator == u'\\' ? 3 : 1;
}

std::string utf8(const std::u16string& path) {
  return platform::utf16_to_utf8(path);
}

// Keeps the first failure of an operation; what fails after it follows from it.
void note(FileError* error, std::uint32_t code, std::string step, const std::u16string& path) {
  if (!error || !error->step.empty()) return;
  error->step = std::move(step);
  error->path = path;
  error->code = code;
}

// Runs a step that creates, renames or deletes, again after a pause while it fails for a
// reason that passes (another program holding the file for a moment), until the budget is
// spent. A step that still fails is noted in `error` as `what()` names it ("Delete <path>"),
// with the system's error code of its last failure, against `path`.
template <typename Step, typename What>
bool waiting_out_locks(Step step, FileError* error, What what, const std::u16string& path) {
  std::uint32_t waited = 0;
  std::uint32_t next = first_pause_ms;
  while (!step()) {
    const std::uint32_t code = platform::last_file_error();
    if (!platform::is_transient_file_error(code) || waited >= retry_budget_ms) {
      note(error, code, what(), path);
      return false;
    }
    const std::uint32_t wait = std::min(next, retry_budget_ms - waited);
    platform::pause(wait);
    waited += wait;
    next = std::min(next * 2, longest_pause_ms);
  }
  return true;
}

// The step once, or with `wait_out_holds` as waiting_out_locks runs it.
template <typename Step, typename What>
bool tried(bool wait_out_holds, Step step, FileError* error, What what,
           const std::u16string& path) {
  if (wait_out_holds) return waiting_out_locks(step, error, what, path);
  if (step()) return true;
  note(error, platform::last_file_error(), what(), path);
  return false;
}

bool rename_waiting(const std::u16string& from, const std::u16string& to, bool write_through,
                    FileError* error) {
  return waiting_out_locks([&] { return platform::move_file_replacing(from, to, write_through); },
                           error, [&] { return "Rename " + utf8(from) + " to " + utf8(to); }, from);
}

bool open_for_writing(platform::File& file, const std::u16string& path, FileError* error) {
  return waiting_out_locks([&] { return file.open(path, platform::File::Mode::write_exclusive); },
                           error, [&] { return "Write " + utf8(path); }, path);
}

// Writes all of `content` to `file`, just opened at `path`, and with `flush` forces it to the
// disk; a failure is noted against `path`.
bool write_content(platform::File& file, const std::string& content, bool flush,
                   const std::u16string& path, FileError* error) {
  const bool written =
      (content.empty() || file.write(content.data(), content.size())) && (!flush || file.flush());
  const std::uint32_t code = platform::last_file_error();
  if (!written) note(error, code, "Write " + utf8(path), path);
  return written;
}

bool make_folder_chain(const std::u16string& path, FileError* error) {
  if (path.empty() || platform::path_exists(path)) return true;
  const std::size_t last = path.find_last_of(platform::path_separator);
  if (last != std::u16string::npos && last >= first_parent_separator() &&
      !make_folder_chain(path.substr(0, last), error)) {
    return false;
  }
  return waiting_out_locks(
      [&] { return platform::create_folder(path) != platform::CreateFolderResult::failed; }, error,
      [&] { return "Create folder " + utf8(path); }, path);
}

bool remove_folder_waiting(const std::u16string& path, FileError* error) {
  return waiting_out_locks([&] { return platform::remove_folder(path); }, error,
                           [&] { return "Remove folder " + utf8(path); }, path);
}

// Removes everything inside `folder` (found at `path`, which only names entries in the log),
// deepest first. Every entry is reached through the folder held open and removed as itself, so
// a folder that another program swaps for a link meanwhile leads nowhere outside the tree.
void remove_inside(const platform::OpenFolder& folder, const std::u16string& path, FileError* error,
                   bool wait_out_holds = true) {
  std::vector<platform::FolderEntry> entries;
  if (!folder.list(entries)) {
    note(error, platform::last_file_error(), "Read " + utf8(path), path);
    return;
  }
  for (const platform::FolderEntry& entry : entries) {
    const std::u16string child = join_path(path, entry.name);
    if (entry.is_folder) {
      // Closed before it is removed: Windows keeps an open folder from going. One that cannot
      // be opened (or has become a link) is removed below as what it is now, if it can be.
      platform::OpenFolder inner;
      static_cast<void>(folder.make_removable(entry.name));
      if (inner.open(folder, entry.name)) remove_inside(inner, child, error, wait_out_holds);
    }
    static_cast<void>(tried(
        wait_out_holds, [&] { return folder.remove(entry.name); }, error,
        [&] { return (entry.is_folder ? "Remove folder " : "Delete ") + utf8(child); }, child));
  }
}

bool remove_tree_below(const std::u16string& path, FileError* error) {
  // A link handed to us is removed as a link: enumerating it would delete the contents of a
  // folder that is not ours.
  if (platform::is_link(path)) {
    return remove_folder_waiting(path, error) || !platform::path_exists(path);
  }
  {
    // A folder that cannot be opened is not reported here: the removal below says why.
    platform::OpenFolder folder;
    if (waiting_out_locks([&] { return folder.open(path); }, nullptr, [] { return ""; }, path)) {
      remove_inside(folder, path, error);
    }
  }
  // Whatever resisted inside keeps the folder from going; that is the only report it gets. A
  // missing path was never there to remove.
  if (!platform::path_exists(path)) return true;
  return remove_folder_waiting(path, error) || !platform::path_exists(path);
}

// Makes sure every entry inside `folder` (found at `path`) could go, removing links as links on
// the way: false, with the first entry that cannot, once one cannot.
bool ready_inside(const platform::OpenFolder& folder, const std::u16string& path,
                  FileError* error) {
  std::vector<platform::FolderEntry> entries;
  if (!folder.list(entries)) {
    note(error, platform::last_file_error(), "Read " + utf8(path), path);
    return false;
  }
  for (const platform::FolderEntry& entry : entries) {
    const std::u16string child = join_path(path, entry.name);
    const auto what = [&] { return "Delete " + utf8(child); };
    const bool ready =
        entry.is_link
            ? waiting_out_locks([&] { return folder.remove(entry.name); }, error, what, child)
            : waiting_out_locks([&] { return folder.can_remove(entry.name); }, error, what, child);
    if (!ready) return false;
    if (entry.is_folder) {
      platform::OpenFolder inner;
      if (!inner.open(folder, entry.name)) {
        note(error, platform::last_file_error(), "Read " + utf8(child), child);
        return false;
      }
      if (!ready_inside(inner, child, error)) return false;
    }
  }
  return true;
}

// Reads the whole of `file`, which `opened` says could be opened, into `buffer`.
bool read_opened(platform::File& file, bool opened, const std::u16string& path, std::string& buffer,
                 FileError* error) {
  std::uint64_t size = 0;
  bool read = opened && file.size(size) && size < read_limit;
  if (read) {
    buffer.resize(static_cast<std::size_t>(size));
    read = size == 0 || file.read(buffer.data(), buffer.size());
  }
  const std::uint32_t code = platform::last_file_error();
  if (!read) note(error, code, "Read " + utf8(path), path);
  return read;
}

FileError* cleared(FileError* error) {
  if (error) *error = FileError{};
  return error;
}

}  // namespace

std::string FileError::line() const {
  return step + " failed (error " + std::to_string(code) + ")";
}

std::string folder_not_made_message(const std::u16string& folder) {
  return "Couldn't make the folder " + utf8(folder) + ".";
}

bool make_folders(const std::u16string& path, FileError* error) {
  return make_folder_chain(path, cleared(error));
}

bool write_whole_file(const std::u16string& path, const std::string& content, FileError* error) {
  cleared(error);
  bool written = false;
  {
    platform::File file;
    if (!open_for_writing(file, path, error)) return false;
    written = write_content(file, content, /*flush=*/false, path, error);
  }
  // Closed first: a file cannot be deleted while our own exclusive handle is open. Only the
  // file we just created or truncated is deleted, so nothing that was whole is lost here.
  if (!written) platform::delete_file(path);
  return written;
}

bool read_whole_file(const std::u16string& path, std::string& buffer, FileError* error) {
  cleared(error);
  platform::File file;
  const bool opened = file.open(path, platform::File::Mode::read_shared);
  return read_opened(file, opened, path, buffer, error);
}

bool read_whole_file(const platform::OpenFolder& folder, const std::u16string& name,
                     const std::u16string& path, std::string& buffer, FileError* error) {
  cleared(error);
  platform::File file;
  const bool opened = file.open_existing(folder, name, /*for_writing=*/false);
  return read_opened(file, opened, path, buffer, error);
}

bool remove_tree(const std::u16string& path, FileError* error) {
  return remove_tree_below(path, cleared(error));
}

bool ready_to_move_tree(const std::u16string& path, FileError* error) {
  cleared(error);
  if (platform::is_link(path)) {
    return remove_folder_waiting(path, error) || !platform::path_exists(path);
  }
  platform::OpenFolder folder;
  FileError opening;
  if (!waiting_out_locks([&] { return folder.open(path); }, &opening,
                         [&] { return "Read " + utf8(path); }, path)) {
    if (!platform::path_exists(path)) return true;
    if (error) *error = opening;
    return false;
  }
  return ready_inside(folder, path, error);
}

bool rename_path(const std::u16string& from, const std::u16string& to, FileError* error) {
  return rename_waiting(from, to, /*write_through=*/true, cleared(error));
}

PlaceResult place_file_below(const platform::OpenFolder& root, const std::u16string& root_path,
                             const std::u16string& relative, const std::u16string& from, bool flush,
                             FileError* error) {
  cleared(error);
  const std::u16string path = join_path(root_path, relative);
  const auto what = [&] { return "Write " + utf8(path); };
  // The folders on the way, each held open until the file is in place.
  std::vector<std::unique_ptr<platform::OpenFolder>> chain;
  const platform::OpenFolder* folder = &root;
  std::u16string folder_path = root_path;
  std::u16string_view rest = relative;
  for (std::size_t separator = rest.find(platform::path_separator);
       separator != std::u16string_view::npos; separator = rest.find(platform::path_separator)) {
    const std::u16string name(rest.substr(0, separator));
    rest.remove_prefix(separator + 1);
    folder_path = join_path(folder_path, name);
    if (!waiting_out_locks(
            [&] { return folder->create_folder(name) != platform::CreateFolderResult::failed; },
            error, [&] { return "Create folder " + utf8(folder_path); }, folder_path)) {
      return PlaceResult::folder_not_made;
    }
    // Something there that is not a folder of its own (a file, a link to a folder) is no place
    // to write the file.
    auto inner = std::make_unique<platform::OpenFolder>();
    if (!waiting_out_locks([&] { return inner->open(*folder, name); }, error, what, path)) {
      return PlaceResult::not_written;
    }
    folder = inner.get();
    chain.push_back(std::move(inner));
  }
  const std::u16string name(rest);

  // On one volume the file simply takes its place, and is flushed there; else its bytes are
  // copied.
  if (waiting_out_locks([&] { return folder->move_in(from, name, flush); }, nullptr,
                        [] { return ""; }, path)) {
    if (!inherit_permissions(*folder, folder_path, name, error)) return PlaceResult::not_written;
    if (!flush) return PlaceResult::placed;
    platform::File placed;
    const bool flushed =
        waiting_out_locks([&] { return placed.open_existing(*folder, name, /*for_writing=*/true); },
                          error, what, path);
    if (flushed && placed.flush()) return PlaceResult::placed;
    if (flushed) note(error, platform::last_file_error(), what(), path);
    return PlaceResult::not_written;
  }
  platform::File source;
  std::uint64_t left = 0;
  if (!source.open(from, platform::File::Mode::read_shared) || !source.size(left)) {
    note(error, platform::last_file_error(), "Read " + utf8(from), from);
    return PlaceResult::not_written;
  }
  bool copied = false;
  {
    platform::File target;
    if (!waiting_out_locks([&] { return target.create_new(*folder, name); }, error, what, path)) {
      return PlaceResult::not_written;
    }
    std::string piece(static_cast<std::size_t>(std::min<std::uint64_t>(left, copy_piece_bytes)),
                      '\0');
    copied = true;
    while (copied && left > 0) {
      const auto length = static_cast<std::size_t>(std::min<std::uint64_t>(left, piece.size()));
      copied = source.read(piece.data(), length) && target.write(piece.data(), length);
      left -= length;
    }
    copied = copied && (!flush || target.flush());
    if (!copied) note(error, platform::last_file_error(), what(), path);
  }  // closed before a failed copy goes
  if (!copied) static_cast<void>(folder->remove(name));
  return copied ? PlaceResult::placed : PlaceResult::not_written;
}

bool inherit_permissions(const platform::OpenFolder& folder, const std::u16string& folder_path,
                         const std::u16string& name, FileError* error) {
  const std::u16string path = join_path(folder_path, name);
  return waiting_out_locks([&] { return folder.inherit_permissions(name); }, error,
                           [&] { return "Set permissions of " + utf8(path); }, path);
}

bool rename_between(const platform::OpenFolder& from, const std::u16string& from_folder,
                    const std::u16string& from_name, const platform::OpenFolder& to,
                    const std::u16string& to_folder, const std::u16string& to_name,
                    FileError* error, bool wait_out_holds) {
  cleared(error);
  const std::u16string source = join_path(from_folder, from_name);
  return tried(
      wait_out_holds, [&] { return to.move_in(from, from_name, to_name); }, error,
      [&] { return "Rename " + utf8(source) + " to " + utf8(join_path(to_folder, to_name)); },
      source);
}

bool create_whole_file(const platform::OpenFolder& folder, const std::u16string& folder_path,
                       const std::u16string& name, const std::string& content, FileError* error) {
  cleared(error);
  const std::u16string path = join_path(folder_path, name);
  bool written = false;
  {
    platform::File file;
    if (!waiting_out_locks([&] { return file.create_new(folder, name); }, error,
                           [&] { return "Write " + utf8(path); }, path)) {
      return false;
    }
    written = write_content(file, content, /*flush=*/true, path, error);
  }  // closed before anything else: Windows neither moves nor deletes a file that is open
  if (!written) static_cast<void>(folder.remove(name));  // ours: created above
  return written;
}

bool remove_entry(const platform::OpenFolder& folder, const std::u16string& folder_path,
                  const std::u16string& name, FileError* error, bool wait_out_holds) {
  cleared(error);
  const std::u16string path = join_path(folder_path, name);
  bool is_folder = false;
  {
    // A folder of its own (not a link) is emptied through itself first; closed before it goes.
    platform::OpenFolder inner;
    static_cast<void>(folder.make_removable(name));
    is_folder = inner.open(folder, name);
    if (is_folder) remove_inside(inner, path, error, wait_out_holds);
  }
  return tried(
      wait_out_holds, [&] { return folder.remove(name); }, error,
      [&] { return (is_folder ? "Remove folder " : "Delete ") + utf8(path); }, path);
}
