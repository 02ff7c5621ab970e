#pragma once

#include <string>

#include "product.h"

// What the command line asks of a run, read once by the entry and handed down to everything
// that depends on it.
struct RunSettings {
  // --check: the run downloads and verifies into a scratch folder, without a window.
  bool check = false;
  // --uninstall: the run removes what installs placed (install/uninstall_run.h).
  bool uninstall = false;
  // --silent: no window, and no waiting: Premiere Pro open ends the run at once. Deployment tools
  // run Setup so, and read its exit code.
  bool silent = false;
  // --log FILE: the setup log goes to this file, whatever else would decide; empty: as ever.
  std::u16string log_file;
  // The release host every request goes to; never ends in '/'.
  std::u16string base = std::u16string(default_release_host);
  // The running program's own file, of which an install keeps a copy for the uninstall; the
  // entry sets it (platform::program_path), tests name a file of their own.
  std::u16string program;
};
