// Windows: where the process loads DLLs from.

#include <windows.h>

#include "platform/process.h"

namespace platform {

void restrict_library_search() {
  // Windows 8 and later have it; a failure leaves the loader's default order, which the program
  // cannot better on its own.
  ::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

}  // namespace platform
