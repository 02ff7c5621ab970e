#pragma once

// Progress reports: how a run (an install or an uninstall) tells the Setup window how far it
// has got.

#include <cstdint>
#include <string_view>

// The Setup window as a run sees it. Each call is a synchronous message to the window
// (SendMessageW on Windows): it returns once the window has applied it, so the text may live on
// the caller's stack. A window that has closed ignores the calls.
class SetupWindow {
 public:
  virtual ~SetupWindow() = default;
  virtual void set_heading(std::u16string_view heading) = 0;  // the main instruction
  virtual void set_detail(std::u16string_view detail) = 0;    // the content text
  virtual void set_progress(int position) = 0;                // the bar, 0 to 100
};

// The window a run reports to; nullptr in check mode, where reports are dropped.
using WindowReference = SetupWindow*;

// Heading, then detail, then bar position, in that order. Never fails.
void report_progress(WindowReference window, std::u16string_view heading,
                     std::u16string_view detail, int position);

// The bar between two milestones, moved by the bytes a stage downloads: from `from` toward `to`
// in proportion to the bytes received of all the files announced with `expect`. Only the bar
// moves (heading and detail stay as the last report left them), and it never goes backwards: a
// download that starts over counts its bytes again from 0 while the bar waits for it to catch
// up. It stops short of `to`, which the milestone's own report shows once the stage is done. A
// new position is sent only when its whole number changes and, after the first, no sooner than
// 100 ms after the last, so the worker waits on the window at most about ten times a second.
// Without a window (check mode) it does nothing.
class DownloadProgress {
 public:
  DownloadProgress(WindowReference window, int from, int to);
  DownloadProgress(const DownloadProgress&) = delete;
  DownloadProgress& operator=(const DownloadProgress&) = delete;

  // One more file for the stage, of `bytes` (its signed size). All of them are announced before
  // the first download, so that the first bytes already move the bar by their share.
  void expect(std::uint64_t bytes);
  // The bytes the current attempt at the file now downloading has received so far.
  void received(std::uint64_t bytes) noexcept;
  // The file now downloading is complete: the next file's bytes count after its.
  void file_done();

 private:
  WindowReference window_;
  int from_, to_;
  std::uint64_t total_ = 0;    // the announced files' bytes
  std::uint64_t done_ = 0;     // the bytes of the files already complete
  std::uint64_t current_ = 0;  // the latest count of the file now downloading
  int shown_;                  // the position the window shows
  bool sent_ = false;          // whether this stretch has moved the bar yet
  std::uint64_t sent_at_ = 0;  // when it last did, in milliseconds
};

// The clock of the 100 ms between positions: platform::tick_count, unless a test sets its own
// (nullptr restores tick_count). Process-wide; set it before a run starts.
using ProgressClock = std::uint64_t (*)();
void set_progress_clock_for_testing(ProgressClock clock);
