#pragma once

// Folders and whole files: the four operations every write and removal of the installer goes
// through. Paths are native paths (see fs/paths.h).

#include <string>

// Makes the folder and its missing parents, parents first. Does nothing when anything already
// exists at the path (even a file). Throws Failure("Couldn't make the folder <path>.") naming
// the first folder that could not be made.
void make_folders(const std::u16string& path);

// Writes the whole content, creating or truncating the file; nobody else may open it meanwhile.
// False when it cannot be opened or fully written; a failed write leaves no partial file.
bool write_whole_file(const std::u16string& path, const std::string& content);

// Reads a whole file (below 1 GiB) into `buffer`. False when it cannot be opened (missing, or
// being written elsewhere), and the buffer is then unchanged.
bool read_whole_file(const std::u16string& path, std::string& buffer);

// Removes a folder tree. Links to folders are removed as links; their targets are never
// entered. True when nothing is left at the path.
bool remove_tree(const std::u16string& path);

// Writes `content` to `target` even when the old file is held open: an old file that cannot be
// deleted is renamed aside to "<name>.<tick count>.corvalis-old" (leftovers of earlier calls in
// the folder are deleted first, where they can be). False on any failure; never throws a
// Failure.
bool replace_file_in_use(const std::u16string& target, const std::string& content);
