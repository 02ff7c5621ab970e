#include "ui/progress.h"

#include <algorithm>
#include <limits>

#include "platform/process.h"

namespace {

// About ten positions a second at most: each is a message the worker waits on.
constexpr std::uint64_t progress_interval_ms = 100;

ProgressClock progress_clock = nullptr;

std::uint64_t now_ms() {
  return progress_clock ? progress_clock() : platform::tick_count();
}

// Sizes come from a signed list but need not be sensible: a sum that would wrap stays at the
// largest count instead.
std::uint64_t saturating_sum(std::uint64_t a, std::uint64_t b) {
  return b > std::numeric_limits<std::uint64_t>::max() - a
             ? std::numeric_limits<std::uint64_t>::max()
             : a + b;
}

}  // namespace

void report_progress(WindowReference window, std::u16string_view heading,
                     std::u16string_view detail, int position) {
  if (!window) return;
  window->set_heading(heading);
  window->set_detail(detail);
  window->set_progress(position);
}

DownloadProgress::DownloadProgress(WindowReference window, int from, int to)
    : window_(window), from_(from), to_(to), shown_(from) {}

void DownloadProgress::expect(std::uint64_t bytes) {
  total_ = saturating_sum(total_, bytes);
}

void DownloadProgress::received(std::uint64_t bytes) noexcept {
  current_ = bytes;
  if (!window_ || total_ == 0) return;
  const std::uint64_t arrived = std::min(saturating_sum(done_, bytes), total_);
  // In floating point: the product of a byte count and the span could overflow 64 bits.
  const double share = static_cast<double>(arrived) / static_cast<double>(total_);
  const int position =
      std::min(to_ - 1, from_ + static_cast<int>(share * static_cast<double>(to_ - from_)));
  // A download that starts over falls behind what the bar shows: the bar waits for it.
  const std::uint64_t now = now_ms();
  if (position <= shown_ || (sent_ && now - sent_at_ < progress_interval_ms)) return;
  try {
    window_->set_progress(position);
  } catch (...) {
    return;  // the bar is a courtesy: a message that failed must not fail the download
  }
  shown_ = position;
  sent_ = true;
  sent_at_ = now;
}

void DownloadProgress::file_done() {
  done_ = saturating_sum(done_, current_);
  current_ = 0;
}

void set_progress_clock_for_testing(ProgressClock clock) {
  progress_clock = clock;
}
