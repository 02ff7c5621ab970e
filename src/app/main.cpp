// The program entry. The run modes (check and window) are not built yet: the entry reads the
// command line and refuses a --base it must not trust, and claims nothing more.

#include "app/settings.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  platform::remember_arguments(argc, argv);
  if (!scan_command_line()) return 1;
  return 1;
}
