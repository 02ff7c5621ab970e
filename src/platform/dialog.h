#pragma once

// The platform layer's user-interface services: the task dialog that shows the Setup window,
// the program icon, the worker thread and the preparation of window mode. Windows uses the
// common controls library (version 6, which the manifest selects); POSIX draws the dialog in
// the terminal. Part of the platform layer of platform.h; kept apart because only the Setup
// window and the entry need it.

#include <cstdint>

#include "ui/dialog.h"

namespace platform {

// Prepares the calling thread for window mode. Windows: CoInitializeEx (single-threaded
// apartment) and InitCommonControlsEx (ICC_STANDARD_CLASSES); always true. POSIX: the terminal
// dialog needs standard input to be a terminal; when it is not, this writes one line saying so
// to standard error and answers false.
bool prepare_user_interface();

// The program's icon resource 1 at the system's large or small icon size (GetSystemMetrics,
// then LoadIconWithScaleDown, comctl32 ordinal 381, from the program's own module). Null when
// it cannot be loaded, and always on POSIX.
void* load_program_icon(bool large);

// Starts `entry(parameter)` on a new thread with default security and stack size and lets it
// go: nobody waits for it or joins it (CreateThread, then CloseHandle at once). False when the
// thread could not be created.
bool start_thread(std::uint32_t (*entry)(void* parameter), void* parameter);

// Shows the dialog on `first_page` and returns when it has closed (TaskDialogIndirect, comctl32
// ordinal 345). The first page's callback gets `dialog_created` once it is on screen. False when
// the dialog could not be shown (no TaskDialogIndirect, or it failed).
bool show_task_dialog(const DialogPage& first_page);

// Ends the process at once with `exit_code`, without static destructors or exit handlers
// (ExitProcess; POSIX _exit). Window mode ends this way because a worker may still be in the
// middle of an install run, using objects that ordinary exit would destroy under it.
[[noreturn]] void end_process(int exit_code);

}  // namespace platform
