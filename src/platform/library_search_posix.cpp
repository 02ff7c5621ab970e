// POSIX: shared libraries are found through the system's own paths, never the program's folder.

#include "platform/process.h"

namespace platform {

void restrict_library_search() {}

}  // namespace platform
