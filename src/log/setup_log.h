#pragma once

// The setup log: "Corvalis Setup.log" in the user's temporary folder, one line per milestone,
// appended across runs and never truncated. Logging never fails the caller.

#include <string>
#include <string_view>

#include "platform/platform.h"

// The log's full path, computed afresh on every call.
std::u16string log_file_path();

// Appends "YYYY-MM-DD hh:mm:ss " + message + CR LF in one write. The file is opened and closed
// for every line, so each line is on disk before the run goes on; a file that cannot be opened
// drops the line silently.
void log_line(std::string_view message);

// Hands every line `log_line` writes from now on, byte for byte as the file gets it, also to
// `mirror` (nullptr: to nobody), even when the file cannot be opened. The entry of a check run
// sets it, so that the Linux build says on its terminal what it found.
using LogMirror = void (*)(std::string_view line);
void mirror_log_lines(LogMirror mirror);

// The bytes of one line as `log_line` writes them.
std::string format_log_line(const platform::LocalTime& time, std::string_view message);
