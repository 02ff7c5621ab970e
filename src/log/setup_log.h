#pragma once

// The setup log: "Corvalis Setup.log" in the user's temporary folder, one line per milestone,
// appended across runs and never truncated. Logging never fails the caller.
//
// The log is created and appended through its folder held open as itself, so that a link someone
// put at its name, or in place of the folder, leads it nowhere else: the folder may be another
// user's, who can put anything there.

#include <string>
#include <string_view>

#include "platform/process.h"

// Where the log goes from now on: into `folder`, or, when `folder` is empty (as at the start),
// into the temporary folder of the user Setup runs as. An install run for another signed-in user
// moves it into that user's temporary folder, where that user can open it. Set by the thread
// that runs install runs, the only one that logs while one runs.
void use_log_folder(std::u16string folder);

// The file the log goes to from now on, whatever `use_log_folder` says (--log FILE, for those who
// deploy Setup and collect its logs); empty: the rule above again. Set at the start of each run.
void use_log_file(std::u16string file);

// Whether the log's file can be opened for appending now (it is created when missing).
bool log_can_be_written();

// The log's full path, computed afresh on every call.
std::u16string log_file_path();

// Appends "YYYY-MM-DD hh:mm:ss " + message + CR LF in one write. The file is opened and closed
// for every line, so each line is on disk before the run goes on; a file that cannot be opened
// (a folder that cannot be, a link, a file with a second name) drops the line silently.
void log_line(std::string_view message);

// Hands every line `log_line` writes from now on, byte for byte as the file gets it, also to
// `mirror` (nullptr: to nobody), even when the file cannot be opened. The entry of a check run
// sets it, so that the Linux build says on its terminal what it found.
using LogMirror = void (*)(std::string_view line);
void mirror_log_lines(LogMirror mirror);

// The bytes of one line as `log_line` writes them.
std::string format_log_line(const platform::LocalTime& time, std::string_view message);
