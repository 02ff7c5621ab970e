#include <cstdio>

#include "platform/console.h"

namespace platform {

void write_to_console(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

}  // namespace platform
