#include "ui/setup_window.h"

#include <array>
#include <exception>

#include "fs/paths.h"
#include "log/setup_log.h"
#include "platform/text.h"

namespace {

using platform::DialogButton;
using platform::DialogPage;
using platform::DialogWindow;

// The window and its worker refer to these by address for the life of the process. Only the
// Failure page's detail changes after the window opens, and only the worker changes it, before
// it navigates there: the window does not read it while a worker runs.
std::array<DialogPage, 4> pages;
std::u16string failure_message_text;
SetupOperation operation;
void* program_icon = nullptr;

DialogPage& page_record(SetupPage page) {
  return pages[static_cast<std::size_t>(page)];
}

// What tells an install's pages from an uninstall's.
struct PageTexts {
  const char16_t* welcome_heading;
  DialogButton start;  // the Welcome page's button, which starts the run
  const char16_t* progress_heading;
  const char16_t* progress_detail;
  const char16_t* done_heading;
  const char16_t* done_detail;  // null for none
  const char16_t* failure_heading;
};

const PageTexts install_texts{
    u"Install Corvalis for Premiere Pro",
    {install_button, u"Install"},
    u"Installing Corvalis",
    u"Downloading...",
    u"Corvalis is installed",
    u"In Premiere Pro, open Window > Extensions > Corvalis Library.",
    u"Corvalis wasn't installed",
};

// The Progress page's detail is empty but present: a task dialog has a content element only on a
// page that starts with one, and the wait for Premiere Pro to close reports its detail there.
const PageTexts uninstall_texts{
    u"Remove Corvalis from Premiere Pro",
    {remove_button, u"Remove"},
    u"Removing Corvalis\u2026",
    u"",
    u"Corvalis was removed",
    nullptr,
    u"Corvalis wasn't removed",
};

// The texts of the window now shown.
const PageTexts* texts = &install_texts;

const DialogButton try_again_buttons[] = {{try_again_button, u"Try again"}};

// The Setup window as the run sees it: its reports go straight to the dialog.
class DialogProgress : public SetupWindow {
 public:
  explicit DialogProgress(DialogWindow& dialog) : dialog_(dialog) {}
  void set_heading(std::u16string_view heading) override { dialog_.set_heading(heading); }
  void set_detail(std::u16string_view detail) override { dialog_.set_detail(detail); }
  void set_progress(int position) override { dialog_.set_progress(position); }

 private:
  DialogWindow& dialog_;
};

// The worker thread: one run through `parameter` (a DialogWindow*), then the navigation to the
// Done or the Failure page.
std::uint32_t run_worker(void* parameter) {
  auto* window = static_cast<DialogWindow*>(parameter);
  DialogProgress progress(*window);
  try {
    operation(&progress);
  } catch (const std::exception& failure) {
    log_line("Failed: " + std::string(failure.what()));
    failure_message_text = platform::utf8_to_utf16(failure.what()) + u"\n\nLog: " + log_file_path();
    page_record(SetupPage::failure).detail = failure_message_text.c_str();
    window->navigate(page_record(SetupPage::failure));
    return 0;
  }
  window->navigate(page_record(SetupPage::done));
  return 0;
}

// The dialog's callback for every page.
int on_dialog_event(DialogWindow* window, unsigned notification, std::uintptr_t wparam,
                    std::intptr_t, std::intptr_t data) {
  switch (notification) {
    case platform::dialog_created:
      if (void* small_icon = platform::load_program_icon(false))
        window->set_icon(false, small_icon);
      if (program_icon) window->set_icon(true, program_icon);
      return 0;
    case platform::dialog_navigated:
      // A thread that cannot start leaves the Progress page as it is until the user closes it.
      if (data == static_cast<std::intptr_t>(SetupPage::progress))
        platform::start_thread(run_worker, window);
      return 0;
    case platform::dialog_button_clicked:
      if (wparam == static_cast<std::uintptr_t>(texts->start.id) ||
          wparam == std::uintptr_t{try_again_button}) {
        window->navigate(page_record(SetupPage::progress));
        return 1;  // S_FALSE: the button does not close the window
      }
      return 0;
    default:
      return 0;
  }
}

void page_setup(DialogPage& page, int number, const char16_t* heading, const char16_t* detail) {
  page = DialogPage{};
  page.flags = platform::dialog_allow_cancellation;
  page.title = u"Corvalis Setup";
  page.main_icon = platform::program_icon_resource;
  page.heading = heading;
  page.detail = detail;
  page.callback = on_dialog_event;
  page.callback_data = number;
  page.width = 260;
}

// The record of `page` with the settings every page shares.
DialogPage& set_up(SetupPage page, const char16_t* heading, const char16_t* detail) {
  DialogPage& record = page_record(page);
  page_setup(record, static_cast<int>(page), heading, detail);
  return record;
}

}  // namespace

bool show_setup_window(SetupMode mode, void* large_icon, SetupOperation run,
                       platform::ShowDialog show) {
  texts = mode == SetupMode::uninstall ? &uninstall_texts : &install_texts;
  program_icon = large_icon;
  operation = std::move(run);

  DialogPage& welcome = set_up(SetupPage::welcome, texts->welcome_heading, nullptr);
  welcome.buttons = &texts->start;
  welcome.button_count = 1;
  welcome.default_button = texts->start.id;
  welcome.common_buttons = platform::dialog_cancel_button;

  DialogPage& progress =
      set_up(SetupPage::progress, texts->progress_heading, texts->progress_detail);
  progress.flags |= platform::dialog_show_progress_bar;
  progress.common_buttons = platform::dialog_cancel_button;

  DialogPage& done = set_up(SetupPage::done, texts->done_heading, texts->done_detail);
  done.common_buttons = platform::dialog_close_button;

  DialogPage& failure =
      set_up(SetupPage::failure, texts->failure_heading, failure_message_text.c_str());
  failure.buttons = try_again_buttons;
  failure.button_count = 1;
  failure.default_button = try_again_button;
  failure.common_buttons = platform::dialog_close_button;

  return show(welcome);
}

const DialogPage& setup_page_for_testing(SetupPage page) {
  return page_record(page);
}

const std::u16string& failure_text_for_testing() {
  return failure_message_text;
}

void page_setup_for_testing(DialogPage& page, int number, const char16_t* heading,
                            const char16_t* detail) {
  page_setup(page, number, heading, detail);
}

platform::DialogCallback page_callback_for_testing() {
  return on_dialog_event;
}
