#pragma once

// Progress reports: how the install run tells the Setup window how far it has got.

#include <string_view>

// The Setup window as the install run sees it. Each call is a synchronous message to the window
// (SendMessageW on Windows): it returns once the window has applied it, so the text may live on
// the caller's stack. A window that has closed ignores the calls.
class SetupWindow {
 public:
  virtual ~SetupWindow() = default;
  virtual void set_heading(std::u16string_view heading) = 0;  // the main instruction
  virtual void set_detail(std::u16string_view detail) = 0;    // the content text
  virtual void set_progress(int position) = 0;                // the bar, 0 to 100
};

// The window an install run reports to; nullptr in check mode, where reports are dropped.
using WindowReference = SetupWindow*;

// Heading, then detail, then bar position, in that order. Never fails.
void report_progress(WindowReference window, std::u16string_view heading,
                     std::u16string_view detail, int position);
