#include "platform/console.h"

namespace platform {

// A GUI program has no console to write to.
void write_to_console(std::string_view) {}

}  // namespace platform
