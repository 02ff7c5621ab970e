#pragma once

// The app stages: the two host plug-in files that run inside Premiere Pro.

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "ui/progress.h"

// A host plug-in file: its file name and the staging file that holds its verified bytes.
struct HostFile {
  std::string name;
  std::u16string staged;
};

// The host plug-in files an app release brings, by file name; the release lists each as "host/"
// + its name. Any other file of the release is never downloaded.
inline constexpr const char* host_file_names[] = {"Corvalis.acsrf", "Corvalis_Importer.prm"};

struct AppRelease {
  std::string version;
  std::vector<HostFile> files;  // in the order "Corvalis.acsrf", "Corvalis_Importer.prm"
};

// Finds the current app version on the release host `base`, fetches and verifies its release list
// and downloads the host plug-in files it lists into staging files in `run_folder`, their bytes
// moving `progress` (a file the release does not list is simply absent). Throws Failure.
AppRelease fetch_host_files(const std::u16string& base, const std::u16string& run_folder,
                            DownloadProgress& progress);

// Clears what replacements cut short left beside every place a host plug-in file is installed to
// (clear_beside): a plug-in set aside by a replacement cut between its renames goes back.
// Nothing else is touched, and nothing is reported. Only the holder of the run lock calls it.
void remove_plugin_leftovers();

// Calls `before_placing` (which may wait, or throw), then places each host file into every folder
// Premiere Pro loads it from (fs/commit.h: each failed target is logged; a file no target took,
// or a target that held a plug-in and holds none after its replacement, fails the run), removes
// the legacy importer folders, and, when the control-surface plug-in was placed, switches the
// command bridge on in every Premiere Pro version that keeps settings under `roaming_folder` (the
// user's, see user_roaming_folder). Install mode only. Throws Failure.
// Returns the bytes placed, all targets counted.
std::uint64_t install_host_files(const std::string& app_version, const std::vector<HostFile>& files,
                                 const std::u16string& roaming_folder,
                                 const std::function<void()>& before_placing);

// Takes each host plug-in away from every target installs write it to, each in one switch
// (fs/commit.h), then the importer's "Corvalis" folders that this leaves empty. False when there
// was nothing to take away. Throws Failure("Premiere's plug-ins weren't removed. Make sure
// Premiere Pro is closed, then try again.") when a target resists, each such target logged.
bool remove_host_files();
