#include "ui/setup_window.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <limits>
#include <list>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "failure.h"
#include "fs/paths.h"
#include "log/setup_log.h"
#include "platform/text.h"
#include "support/sandbox.h"

namespace {

using platform::dialog_button_clicked;
using platform::dialog_cancel_button;
using platform::dialog_cancel_id;
using platform::dialog_close_button;
using platform::dialog_close_id;
using platform::dialog_created;
using platform::dialog_navigated;
using platform::dialog_show_progress_bar;
using platform::DialogButton;
using platform::DialogPage;
using platform::DialogWindow;

// A task dialog driven by a script instead of a user. It runs on the test's thread, as the real
// dialog runs on the main thread; the worker's messages are queued, and the worker waits until
// the script's thread has applied them, as with SendMessageW.
class ScriptedDialog : public DialogWindow {
 public:
  // What the window shows.
  const DialogPage* page = nullptr;
  std::u16string heading, detail;
  int progress = -1;
  bool closed = false;
  std::vector<std::string> events;  // "page N", "progress N", "heading ..." in order

  void open(const DialogPage& first) {
    window_thread_ = std::this_thread::get_id();
    apply(first);
    page->callback(this, dialog_created, 0, 0, page->callback_data);
  }

  // Clicks a button; true when the window stays open.
  bool press(int id) {
    const int result = page->callback(this, dialog_button_clicked, static_cast<std::uintptr_t>(id),
                                      0, page->callback_data);
    if (result == 0) close();
    return result != 0;
  }

  // Applies the worker's messages until `page_number` is shown. False after 20 s.
  bool wait_for_page(SetupPage page_number) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    std::unique_lock lock(mutex_);
    while (page->callback_data != static_cast<std::intptr_t>(page_number)) {
      if (!queued_.wait_until(lock, deadline, [&] { return !queue_.empty(); })) return false;
      run_queued(lock);
    }
    return true;
  }

  // Applies the next `count` messages from the worker.
  bool apply_messages(int count) {
    std::unique_lock lock(mutex_);
    for (int i = 0; i < count; ++i) {
      if (!queued_.wait_for(lock, std::chrono::seconds(20), [&] { return !queue_.empty(); })) {
        return false;
      }
      run_one(lock);
    }
    return true;
  }

  void close() {
    const std::lock_guard lock(mutex_);
    closed = true;
    queue_.clear();
    applied_.notify_all();
  }

  void set_heading(std::u16string_view text) override {
    send([&] {
      heading = text;
      events.push_back("heading " + platform::utf16_to_utf8(text));
    });
  }
  void set_detail(std::u16string_view text) override {
    send([&] {
      detail = text;
      events.push_back("detail " + platform::utf16_to_utf8(text));
    });
  }
  void set_progress(int position) override {
    send([&] {
      progress = position;
      events.push_back("progress " + std::to_string(position));
    });
  }
  void navigate(const DialogPage& target) override {
    send([&] {
      apply(target);
      page->callback(this, dialog_navigated, 0, 0, page->callback_data);
    });
  }
  void set_icon(bool big, void* icon) override {
    send([&] {
      events.push_back(std::string(big ? "big" : "small") + " icon " + (icon ? "set" : "null"));
    });
  }

 private:
  void apply(const DialogPage& target) {
    page = &target;
    heading = target.heading ? target.heading : u"";
    detail = target.detail ? target.detail : u"";
    progress = (target.flags & dialog_show_progress_bar) ? 0 : -1;
    events.push_back("page " + std::to_string(target.callback_data));
  }

  void send(const std::function<void()>& message) {
    std::unique_lock lock(mutex_);
    if (closed) return;
    if (std::this_thread::get_id() == window_thread_) {
      lock.unlock();
      message();
      return;
    }
    const std::uint64_t ticket = ++sent_;
    queue_.push_back(&message);
    queued_.notify_all();
    applied_.wait(lock, [&] { return closed || done_ >= ticket; });
  }

  void run_one(std::unique_lock<std::mutex>& lock) {
    const std::function<void()>* message = queue_.front();
    queue_.pop_front();
    lock.unlock();
    (*message)();
    lock.lock();
    ++done_;
    applied_.notify_all();
  }
  void run_queued(std::unique_lock<std::mutex>& lock) {
    while (!queue_.empty()) run_one(lock);
  }

  std::thread::id window_thread_;
  std::mutex mutex_;
  std::condition_variable queued_, applied_;
  std::deque<const std::function<void()>*> queue_;
  std::uint64_t sent_ = 0, done_ = 0;
};

// The dialog and the script a test runs in it; `show_setup_window` calls `show_scripted`.
ScriptedDialog* dialog = nullptr;
std::function<void(ScriptedDialog&)> script;
bool show_scripted(const DialogPage& first) {
  dialog->open(first);
  script(*dialog);
  if (!dialog->closed) dialog->close();
  return true;
}

// Stand-ins for the runs, counting their calls.
int runs = 0;
std::string next_failure;
void succeeding_run(WindowReference window) {
  ++runs;
  report_progress(window, u"Installing Corvalis", u"Downloading...", 10);
  report_progress(window, u"Installing Corvalis", u"Finishing...", 95);
}
void failing_run(WindowReference window) {
  ++runs;
  report_progress(window, u"Installing Corvalis", u"Downloading...", 10);
  throw Failure(next_failure);
}
// An uninstall's reports: the wait for Premiere Pro, then the removal.
void removing_run(WindowReference window) {
  ++runs;
  report_progress(window, u"Close Premiere Pro to continue", u"Setup continues once it's closed.",
                  0);
  report_progress(window, u"Removing Corvalis\u2026", u"", 50);
}
void exhausted_run(WindowReference) {
  ++runs;
  throw std::bad_alloc();
}

class SetupWindowTest : public testing::Test {
 protected:
  void SetUp() override {
    runs = 0;
    dialog = &scripted_;
  }
  // A finished worker may still be on its way out of its last send when the test ends, so the
  // dialogs stay until the process ends.
  static ScriptedDialog& new_dialog() {
    static std::list<ScriptedDialog> dialogs;
    return dialogs.emplace_back();
  }
  void run(SetupOperation operation, std::function<void(ScriptedDialog&)> steps,
           SetupMode mode = SetupMode::install) {
    script = std::move(steps);
    EXPECT_TRUE(show_setup_window(mode, nullptr, operation, show_scripted));
  }
  static std::string last_log_line() {
    std::string log = file_content(log_file_path());
    if (log.size() < 2) return {};
    log.resize(log.size() - 2);  // CR LF
    const std::size_t end_of_previous = log.rfind("\r\n");
    const std::size_t start = end_of_previous == std::string::npos ? 0 : end_of_previous + 2;
    return log.substr(start + 20);  // after the time stamp
  }

  Sandbox sandbox_;
  ScriptedDialog& scripted_ = new_dialog();
};

TEST_F(SetupWindowTest, EveryPageSharesTheCommonSettingsInBothModes) {
  struct Mode {
    SetupMode mode;
    std::u16string headings[4];
    const char16_t* progress_detail;
    const char16_t* done_detail;
  };
  // The uninstall comes first: the install's pages must not keep anything of it.
  const Mode modes[] = {
      {SetupMode::uninstall,
       {u"Remove Corvalis from Premiere Pro", u"Removing Corvalis\u2026", u"Corvalis was removed",
        u"Corvalis wasn't removed"},
       u"",
       nullptr},
      {SetupMode::install,
       {u"Install Corvalis for Premiere Pro", u"Installing Corvalis", u"Corvalis is installed",
        u"Corvalis wasn't installed"},
       u"Downloading...",
       u"In Premiere Pro, open Window > Extensions > Corvalis Library."},
  };
  for (const Mode& mode : modes) {
    run(
        succeeding_run, [](ScriptedDialog&) {}, mode.mode);
    for (int number = 0; number < 4; ++number) {
      const DialogPage& page = setup_page_for_testing(static_cast<SetupPage>(number));
      SCOPED_TRACE(platform::utf16_to_utf8(mode.headings[0]) + ", page " + std::to_string(number));
      EXPECT_EQ(page.flags, number == static_cast<int>(SetupPage::progress) ? 0x0208u : 0x0008u);
      EXPECT_EQ(page.main_icon, 1u);
      EXPECT_EQ(std::u16string(page.title), u"Corvalis Setup");
      EXPECT_EQ(std::u16string(page.heading), mode.headings[number]);
      EXPECT_EQ(page.callback, page_callback_for_testing());
      EXPECT_EQ(page.callback_data, number);
      EXPECT_EQ(page.width, 260u);
    }
    EXPECT_EQ(setup_page_for_testing(SetupPage::welcome).detail, nullptr);
    // Present even when empty, so that the wait for Premiere Pro can show its detail there.
    ASSERT_NE(setup_page_for_testing(SetupPage::progress).detail, nullptr);
    EXPECT_EQ(std::u16string(setup_page_for_testing(SetupPage::progress).detail),
              mode.progress_detail);
    const char16_t* done_detail = setup_page_for_testing(SetupPage::done).detail;
    EXPECT_EQ(done_detail ? std::u16string(done_detail) : u"(none)",
              mode.done_detail ? mode.done_detail : u"(none)");
  }
}

TEST_F(SetupWindowTest, PageSetupClearsWhatWasThere) {
  DialogPage page;
  const DialogButton button{7, u"Other"};
  page.buttons = &button;
  page.button_count = 1;
  page.default_button = 7;
  page.common_buttons = 0x3F;
  page_setup_for_testing(page, 2, u"Heading", u"Detail");
  EXPECT_EQ(page.buttons, nullptr);
  EXPECT_EQ(page.button_count, 0u);
  EXPECT_EQ(page.default_button, 0);
  EXPECT_EQ(page.common_buttons, 0u);
  EXPECT_EQ(page.flags, 0x0008u);
  EXPECT_EQ(std::u16string(page.detail), u"Detail");
}

TEST_F(SetupWindowTest, TheWelcomePageOffersInstallAndCancel) {
  run(succeeding_run, [](ScriptedDialog& window) {
    EXPECT_EQ(window.page, &setup_page_for_testing(SetupPage::welcome));
    ASSERT_EQ(window.page->button_count, 1u);
    EXPECT_EQ(window.page->buttons[0].id, 100);
    EXPECT_EQ(std::u16string(window.page->buttons[0].text), u"Install");
    EXPECT_EQ(window.page->default_button, 100);
    EXPECT_EQ(window.page->common_buttons, dialog_cancel_button);
    // Without an icon from the entry none is sent as the large one; POSIX has no small one.
    EXPECT_EQ(window.events.size(), 1u);
  });
  EXPECT_EQ(runs, 0);
}

TEST_F(SetupWindowTest, InstallShowsTheEmptyProgressPageBeforeTheFirstReport) {
  run(succeeding_run, [](ScriptedDialog& window) {
    EXPECT_TRUE(window.press(install_button));
    // The worker has started, but nothing it sends is applied until the window's thread runs.
    EXPECT_EQ(window.page, &setup_page_for_testing(SetupPage::progress));
    EXPECT_EQ(window.heading, u"Installing Corvalis");
    EXPECT_EQ(window.detail, u"Downloading...");
    EXPECT_EQ(window.progress, 0);
    EXPECT_EQ(window.page->button_count, 0u);
    EXPECT_EQ(window.page->common_buttons, dialog_cancel_button);

    ASSERT_TRUE(window.apply_messages(3));
    EXPECT_EQ(window.progress, 10);
    ASSERT_TRUE(window.wait_for_page(SetupPage::done));
  });
}

TEST_F(SetupWindowTest, ASuccessfulRunEndsOnTheInstalledPageWithOnlyClose) {
  run(succeeding_run, [](ScriptedDialog& window) {
    window.press(install_button);
    ASSERT_TRUE(window.wait_for_page(SetupPage::done));
    EXPECT_EQ(window.heading, u"Corvalis is installed");
    EXPECT_EQ(window.page->button_count, 0u);
    EXPECT_EQ(window.page->common_buttons, dialog_close_button);
    EXPECT_FALSE(window.press(dialog_close_id));
  });
  EXPECT_EQ(runs, 1);
  const std::vector<std::string> expected{"page 0",
                                          "page 1",
                                          "heading Installing Corvalis",
                                          "detail Downloading...",
                                          "progress 10",
                                          "heading Installing Corvalis",
                                          "detail Finishing...",
                                          "progress 95",
                                          "page 2"};
  EXPECT_EQ(scripted_.events, expected);
}

TEST_F(SetupWindowTest, AFailureShowsItsMessageAndTheLogAndTryAgainRunsAgain) {
  next_failure = "A download arrived damaged. Run Setup again.";
  run(failing_run, [](ScriptedDialog& window) {
    window.press(install_button);
    ASSERT_TRUE(window.wait_for_page(SetupPage::failure));
    EXPECT_EQ(window.heading, u"Corvalis wasn't installed");
    EXPECT_EQ(window.detail,
              u"A download arrived damaged. Run Setup again.\n\nLog: " + log_file_path());
    EXPECT_EQ(last_log_line(), "Failed: A download arrived damaged. Run Setup again.");
    ASSERT_EQ(window.page->button_count, 1u);
    EXPECT_EQ(window.page->buttons[0].id, 101);
    EXPECT_EQ(std::u16string(window.page->buttons[0].text), u"Try again");
    EXPECT_EQ(window.page->default_button, 101);
    EXPECT_EQ(window.page->common_buttons, dialog_close_button);

    next_failure =
        "Couldn't download Corvalis. Check your internet connection and run Setup again.";
    EXPECT_TRUE(window.press(try_again_button));
    EXPECT_EQ(window.page, &setup_page_for_testing(SetupPage::progress));
    EXPECT_EQ(window.heading, u"Installing Corvalis");
    EXPECT_EQ(window.progress, 0);
    ASSERT_TRUE(window.wait_for_page(SetupPage::failure));
    EXPECT_EQ(window.detail,
              platform::utf8_to_utf16(next_failure) + u"\n\nLog: " + log_file_path());
    EXPECT_EQ(failure_text_for_testing(), window.detail);
  });
  EXPECT_EQ(runs, 2);
}

// Its failure and Try again are the install's: the same worker, with the texts of the table above.
TEST_F(SetupWindowTest, RemoveStartsTheUninstallAndItsReportsAndEndShowAsTheInstallsDo) {
  run(
      removing_run,
      [](ScriptedDialog& window) {
        ASSERT_EQ(window.page->button_count, 1u);
        EXPECT_EQ(window.page->buttons[0].id, remove_button);
        EXPECT_EQ(std::u16string(window.page->buttons[0].text), u"Remove");
        EXPECT_EQ(window.page->default_button, remove_button);
        EXPECT_EQ(window.page->common_buttons, dialog_cancel_button);

        // The pages' buttons beyond the first are the install's, set up by the same code.
        EXPECT_TRUE(window.press(remove_button));
        EXPECT_EQ(window.page, &setup_page_for_testing(SetupPage::progress));
        ASSERT_TRUE(window.wait_for_page(SetupPage::done));
        EXPECT_EQ(window.heading, u"Corvalis was removed");
        EXPECT_FALSE(window.press(dialog_close_id));
      },
      SetupMode::uninstall);
  EXPECT_EQ(runs, 1);
  const std::vector<std::string> expected{"page 0",
                                          "page 1",
                                          "heading Close Premiere Pro to continue",
                                          "detail Setup continues once it's closed.",
                                          "progress 0",
                                          "heading Removing Corvalis\xE2\x80\xA6",
                                          "detail ",
                                          "progress 50",
                                          "page 2"};
  EXPECT_EQ(scripted_.events, expected);
}

TEST_F(SetupWindowTest, ANonAsciiFailureMessageArrivesIntact) {
  next_failure =
      "Couldn't write into \xE2\x80\x9C"
      "C:\\Users\\Ren\xC3\xA9\\\xE6\x96\x87\xE6\x9B\xB8"
      "\xE2\x80\x9D. \xF0\x9F\x93\x81";
  run(failing_run, [](ScriptedDialog& window) {
    window.press(install_button);
    ASSERT_TRUE(window.wait_for_page(SetupPage::failure));
    EXPECT_EQ(platform::utf16_to_utf8(window.detail).substr(0, next_failure.size()), next_failure);
    EXPECT_EQ(window.detail.substr(0, 21), u"Couldn't write into \u201C");
  });
  EXPECT_EQ(last_log_line(), "Failed: " + next_failure);
}

TEST_F(SetupWindowTest, StandardLibraryErrorsFailTheRunWithTheirOwnText) {
  run(exhausted_run, [](ScriptedDialog& window) {
    window.press(install_button);
    ASSERT_TRUE(window.wait_for_page(SetupPage::failure));
    EXPECT_TRUE(
        window.detail.starts_with(platform::utf8_to_utf16(std::bad_alloc().what()) + u"\n\nLog: "));
  });
}

TEST_F(SetupWindowTest, CancelAndCloseCloseTheWindowOnAnyPage) {
  run(succeeding_run, [](ScriptedDialog& window) { EXPECT_FALSE(window.press(dialog_cancel_id)); });
  EXPECT_TRUE(scripted_.closed);
  EXPECT_EQ(runs, 0);
}

TEST_F(SetupWindowTest, AWindowThatCannotBeShownIsReported) {
  EXPECT_FALSE(show_setup_window(SetupMode::install, nullptr, succeeding_run,
                                 [](const DialogPage&) { return false; }));
  EXPECT_EQ(runs, 0);
}

// Every report part the window was sent, in order.
struct Recorder : SetupWindow {
  std::vector<std::string> calls;
  void set_heading(std::u16string_view text) override {
    calls.push_back("h " + platform::utf16_to_utf8(text));
  }
  void set_detail(std::u16string_view text) override {
    calls.push_back("d " + platform::utf16_to_utf8(text));
  }
  void set_progress(int position) override { calls.push_back("p " + std::to_string(position)); }
};

TEST(ProgressReports, GoToTheWindowInOrderAndAreDroppedWithoutOne) {
  Recorder recorder;
  report_progress(&recorder, u"Close Premiere Pro to continue",
                  u"Setup continues once it's closed.", 0);
  EXPECT_EQ(recorder.calls,
            (std::vector<std::string>{"h Close Premiere Pro to continue",
                                      "d Setup continues once it's closed.", "p 0"}));
  report_progress(nullptr, u"Installing Corvalis", u"Downloading...", 10);  // check mode
}

// The throttle's clock, moved by the tests; it counts how often it is read.
std::uint64_t clock_ms = 0;
int clock_reads = 0;
std::uint64_t test_clock() {
  ++clock_reads;
  return clock_ms;
}

class DownloadProgressTest : public testing::Test {
 protected:
  void SetUp() override {
    clock_ms = 0;
    clock_reads = 0;
    set_progress_clock_for_testing(test_clock);
  }
  void TearDown() override { set_progress_clock_for_testing(nullptr); }
};

TEST_F(DownloadProgressTest, MovesWithTheBytesAtMostTenTimesASecondAndNeverBack) {
  Recorder window;
  DownloadProgress progress(&window, 35, 70);
  progress.expect(600);
  progress.expect(400);
  // What arrives, when, and the position each arrival sends ("" for none).
  struct Step {
    std::uint64_t at_ms;
    std::uint64_t received;  // of the current attempt at the current file
    bool file_done;
    const char* sent;
  };
  const Step steps[] = {
      {0, 0, false, ""},          // the first attempt starts
      {0, 20, false, ""},         // 35.7: the whole number has not changed
      {0, 100, false, "p 38"},    // the first move goes at once
      {50, 200, false, ""},       // 42, but only 50 ms after the last
      {99, 220, false, ""},       // still too soon
      {100, 250, false, "p 43"},  // 100 ms on: where the bytes are now
      {300, 0, false, ""},        // the download starts over: the bar does not go back
      {400, 240, false, ""},      // 43.4 is not beyond what is shown
      {500, 300, false, "p 45"},  // beyond it again
      {600, 600, true, "p 56"},   // the first file complete
      {700, 0, false, ""},        // the second starts after it
      {800, 100, false, "p 59"},
      {900, 400, true, "p 69"},  // all of it: short of 70, which the milestone's report shows
  };
  std::size_t expected_calls = 0;
  for (const Step& step : steps) {
    SCOPED_TRACE("at " + std::to_string(step.at_ms) + " ms");
    clock_ms = step.at_ms;
    progress.received(step.received);
    if (step.file_done) progress.file_done();
    if (*step.sent) ++expected_calls;
    ASSERT_EQ(window.calls.size(), expected_calls);
    if (*step.sent) {
      EXPECT_EQ(window.calls.back(), step.sent);
    }
  }
}

TEST_F(DownloadProgressTest, HugeOrMissingSizesAndCheckModeMoveNothingAmiss) {
  // Sizes a signed list may state that no file has: the sum saturates instead of wrapping.
  Recorder window;
  DownloadProgress huge(&window, 10, 35);
  huge.expect(std::numeric_limits<std::uint64_t>::max());
  huge.expect(5);
  huge.received(std::uint64_t{1} << 63);
  EXPECT_EQ(window.calls, std::vector<std::string>{"p 22"});

  // Nothing expected (every size unusable): nothing to move.
  DownloadProgress nothing(&window, 35, 70);
  nothing.received(1000);
  EXPECT_EQ(window.calls.size(), 1u);

  // Check mode has no window, and never reads the clock.
  DownloadProgress check(nullptr, 35, 70);
  check.expect(10);
  check.received(5);
  check.file_done();
  EXPECT_EQ(clock_reads, 1);  // the one arrival above that had a window and bytes to count
}

}  // namespace
