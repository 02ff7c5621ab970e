// corvalis-window-driver [--roaming DIR] [--temp DIR] [--program-files DIR]
//                        [--program-files-x86 DIR] [--hold FILE] [--program FILE] [--uninstall]
//                        --base URL
//
// The Setup window of the Windows program with a user who presses the first page's button
// (Install, or Remove with --uninstall) and, once the run has ended, reads the page and closes
// the window: the program's own page logic, worker and run, with a scripted dialog in place of
// the task dialog so that suites can run it headless under Wine, many times, and judge it from
// the outside. The run's own program (the file an install keeps a copy of) is this driver's file,
// or the one --program names.
//
// Every page, heading, detail and bar position the window is given is printed, one per line:
//   page: HEADING / detail: TEXT / heading: TEXT / progress: N
// The exit code is 0 once the window has closed on the Done or the Failure page (what the
// program itself answers), 2 for a command line the driver refuses, 3 when no final page came.
//
// The options point every folder the run writes to into a sandbox: the temporary folder and the
// Program Files variables through this process's environment, the roaming folder through the
// current user's shell folder (restored on exit), since Wine takes it from there and nowhere
// else. --hold keeps FILE open without delete sharing through the run, as a program that has
// loaded a panel file holds it.
//
// A test program, never shipped.

#include <windows.h>

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/entry.h"
#include "app/settings.h"
#include "fs/paths.h"
#include "platform/dialog.h"
#include "platform/process.h"
#include "platform/text.h"
#include "support/file_setups.h"
#include "ui/setup_window.h"

namespace {

using platform::dialog_button_clicked;
using platform::dialog_created;
using platform::dialog_navigated;
using platform::DialogPage;
using platform::DialogWindow;

const wchar_t* const shell_folders =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";

const wchar_t* wide(const std::u16string& text) {
  return reinterpret_cast<const wchar_t*>(text.c_str());
}

void print(const std::string& label, std::u16string_view text) {
  std::printf("%s: %s\n", label.c_str(), platform::utf16_to_utf8(text).c_str());
  std::fflush(stdout);
}

// The user's roaming folder pointed elsewhere for the life of this object.
class RoamingFolderRedirect {
 public:
  bool point_to(const std::u16string& folder) {
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, shell_folders, 0, KEY_QUERY_VALUE | KEY_SET_VALUE,
                        &key_) != ERROR_SUCCESS) {
      key_ = nullptr;
      return false;
    }
    wchar_t saved[MAX_PATH * 2] = {};
    DWORD size = sizeof saved - sizeof(wchar_t);
    DWORD type = 0;
    const LSTATUS found =
        ::RegQueryValueExW(key_, L"AppData", nullptr, &type, reinterpret_cast<BYTE*>(saved), &size);
    // A setting that cannot be read back whole could not be restored: leave it alone.
    if (found != ERROR_SUCCESS && found != ERROR_FILE_NOT_FOUND) {
      ::RegCloseKey(key_);
      key_ = nullptr;
      return false;
    }
    had_value_ = found == ERROR_SUCCESS;
    saved_ = saved;
    saved_type_ = type;
    return set(REG_EXPAND_SZ, wide(folder), folder.size());
  }

  ~RoamingFolderRedirect() {
    if (!key_) return;
    if (had_value_) {
      set(saved_type_, saved_.c_str(), saved_.size());
    } else {
      ::RegDeleteValueW(key_, L"AppData");
    }
    ::RegCloseKey(key_);
  }

 private:
  bool set(DWORD type, const wchar_t* text, std::size_t length) {
    const auto bytes = static_cast<DWORD>((length + 1) * sizeof(wchar_t));
    return ::RegSetValueExW(key_, L"AppData", 0, type, reinterpret_cast<const BYTE*>(text),
                            bytes) == ERROR_SUCCESS;
  }

  HKEY key_ = nullptr;
  bool had_value_ = false;
  std::wstring saved_;
  DWORD saved_type_ = REG_EXPAND_SZ;
};

constexpr std::intptr_t ended_on(SetupPage page) {
  return static_cast<std::intptr_t>(page);
}

// The task dialog's part, played by a script. Calls may come from the worker; like
// SendMessageW they are applied before they return (here under a lock, on the calling thread).
class DrivenDialog : public DialogWindow {
 public:
  void set_heading(std::u16string_view text) override { print("heading", text); }
  void set_detail(std::u16string_view text) override { print("detail", text); }
  void set_progress(int position) override {
    std::printf("progress: %d\n", position);
    std::fflush(stdout);
  }
  void set_icon(bool, void*) override {}

  void navigate(const DialogPage& page) override {
    if (page.callback_data == ended_on(SetupPage::done) ||
        page.callback_data == ended_on(SetupPage::failure)) {
      // The worker's last act: the driver waits for its end before ending the process.
      worker_ = ::OpenThread(SYNCHRONIZE, FALSE, ::GetCurrentThreadId());
    }
    show(page);
    page.callback(this, dialog_navigated, 0, 0, page.callback_data);
  }

  void show(const DialogPage& page) {
    {
      const std::lock_guard lock(mutex_);
      shown_ = page.callback_data;
    }
    print("page", page.heading ? page.heading : u"");
    if (page.detail) print("detail", page.detail);
    changed_.notify_all();
  }

  // True once the Done or the Failure page is shown, within `seconds`.
  bool wait_for_end(int seconds) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(seconds), [&] {
      return shown_ == ended_on(SetupPage::done) || shown_ == ended_on(SetupPage::failure);
    });
  }

  // Waits for the worker thread that showed the final page to end. The program itself ends
  // without waiting, which Windows allows; Wine then sometimes kills the whole process with a
  // signal, which would hide the exit code this driver reports.
  void wait_for_worker() {
    if (!worker_) return;
    ::WaitForSingleObject(worker_, 10000);
    ::CloseHandle(worker_);
    worker_ = nullptr;
  }

 private:
  HANDLE worker_ = nullptr;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::intptr_t shown_ = -1;
};

DrivenDialog dialog;
bool reached_the_end = false;

// Presses the Welcome page's own button: Install, or Remove.
bool press_start_and_wait(const DialogPage& welcome) {
  dialog.show(welcome);
  welcome.callback(&dialog, dialog_created, 0, 0, welcome.callback_data);
  if (welcome.button_count == 0 ||
      welcome.callback(&dialog, dialog_button_clicked,
                       static_cast<std::uintptr_t>(welcome.buttons[0].id), 0,
                       welcome.callback_data) != 1) {
    return true;  // the button closed the window: the run never started
  }
  reached_the_end = dialog.wait_for_end(600);
  if (reached_the_end) dialog.wait_for_worker();
  return true;  // then Close
}

// One window run; the redirection and the held file end with it.
int drive() {
  std::u16string roaming, temp, program_files, program_files_x86, hold, program;
  const std::vector<std::u16string> arguments = platform::command_line_arguments();
  for (std::size_t i = 1; i + 1 < arguments.size(); ++i) {
    if (arguments[i] == u"--roaming")
      roaming = arguments[++i];
    else if (arguments[i] == u"--temp")
      temp = arguments[++i];
    else if (arguments[i] == u"--program-files")
      program_files = arguments[++i];
    else if (arguments[i] == u"--program-files-x86")
      program_files_x86 = arguments[++i];
    else if (arguments[i] == u"--hold")
      hold = arguments[++i];
    else if (arguments[i] == u"--program")
      program = arguments[++i];
  }
  std::optional<RunSettings> settings = parse_command_line(arguments);
  if (!settings || settings->check) return 2;
  settings->program = program.empty() ? platform::program_path() : program;

  if (!temp.empty()) {
    ::SetEnvironmentVariableW(L"TMP", wide(temp));
    ::SetEnvironmentVariableW(L"TEMP", wide(temp));
  }
  if (!program_files.empty()) {
    ::SetEnvironmentVariableW(L"ProgramFiles", wide(program_files));
    ::SetEnvironmentVariableW(L"ProgramW6432", wide(program_files));
  }
  if (!program_files_x86.empty()) {
    ::SetEnvironmentVariableW(L"ProgramFiles(x86)", wide(program_files_x86));
  }
  RoamingFolderRedirect redirect;
  if (!roaming.empty() && !redirect.point_to(roaming)) {
    std::fprintf(stderr, "cannot redirect the roaming folder\n");
    return 2;
  }
  std::optional<HeldFile> held;
  if (!hold.empty()) {
    held.emplace(hold, Hold::read_without_delete_sharing);
    if (!held->held()) {
      std::fprintf(stderr, "cannot hold %s: %s\n", platform::utf16_to_utf8(hold).c_str(),
                   held->why().c_str());
      return 2;
    }
  }

  // The run keeps a copy of the settings: a worker that never reached the end may outlive this
  // frame.
  const bool shown = show_setup_window_for(*settings, nullptr, press_start_and_wait);
  if (!shown || !reached_the_end) return 3;
  return 0;
}

}  // namespace

// Ends the process at once, as the program does once its window has closed: when no final page
// came, the worker may still be running and must not see static objects torn down.
int main() {
  platform::end_process(drive());
}
