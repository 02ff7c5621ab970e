#pragma once

// Standard error, where the Linux build's check run tells a terminal or a CI log what it found.
// The Windows build is a GUI program without a console: it answers by the setup log and the
// exit code alone, so writing there does nothing.

#include <string_view>

namespace platform {

// Writes `text` as it is to standard error (POSIX); does nothing on Windows. Never fails the
// caller: what cannot be written is dropped.
void write_to_console(std::string_view text);

}  // namespace platform
