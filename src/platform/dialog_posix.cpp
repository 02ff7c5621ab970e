// POSIX stand-in for the task dialog: the Setup window drawn in the terminal.
//
// The page is redrawn in place below the cursor: title, heading, detail text, the progress bar
// and the buttons, the focused one marked. Enter presses the marked button (at first the page's
// default), Tab and the arrow keys move the mark, Esc (or Ctrl-C) closes the window. Messages
// from other threads are queued for the window's thread and the sender waits until they have
// been applied, as SendMessageW does; once the window has closed they are dropped.

#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/dialog.h"
#include "platform/text.h"

namespace platform {

namespace {

// Standard input in raw mode (no echo, no line editing, no signals from keys) while it lives.
class RawTerminal {
 public:
  RawTerminal() {
    if (::tcgetattr(STDIN_FILENO, &saved_) != 0) return;
    termios raw = saved_;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG | IEXTEN);
    raw.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    active_ = ::tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
  }
  RawTerminal(const RawTerminal&) = delete;
  RawTerminal& operator=(const RawTerminal&) = delete;
  ~RawTerminal() {
    if (active_) ::tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
  }

 private:
  termios saved_{};
  bool active_ = false;
};

// A pipe whose read end wakes the window's poll when another thread has queued a message.
class WakePipe {
 public:
  WakePipe() {
    if (::pipe(fds_) != 0) fds_[0] = fds_[1] = -1;
  }
  WakePipe(const WakePipe&) = delete;
  WakePipe& operator=(const WakePipe&) = delete;
  ~WakePipe() {
    for (int fd : fds_) {
      if (fd >= 0) ::close(fd);
    }
  }
  int read_end() const { return fds_[0]; }
  void wake() const {
    const char byte = 1;
    if (fds_[1] >= 0) (void)!::write(fds_[1], &byte, 1);
  }
  void drain() const {
    char bytes[64];
    (void)!::read(fds_[0], bytes, sizeof bytes);
  }

 private:
  int fds_[2] = {-1, -1};
};

void write_all(const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(STDOUT_FILENO, text.data() + done, text.size() - done);
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

int terminal_columns() {
  winsize size{};
  if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

std::size_t code_points(const std::string& text) {
  return static_cast<std::size_t>(
      std::count_if(text.begin(), text.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

// Splits `text` at line feeds and wraps each line at spaces to at most `width` code points (a
// longer word, such as a long path, is broken at the width and goes on in the next line), so
// that the terminal never wraps and the lines drawn can be counted.
std::vector<std::string> wrap(const std::string& text, std::size_t width) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (true) {
    const std::size_t end = text.find('\n', start);
    std::string rest = text.substr(start, end == std::string::npos ? end : end - start);
    while (code_points(rest) > width) {
      std::size_t cut = 0, count = 0, last_space = std::string::npos;
      for (; cut < rest.size(); ++cut) {
        if ((rest[cut] & 0xC0) != 0x80) {
          if (count == width) break;
          ++count;
        }
        if (rest[cut] == ' ') last_space = cut;
      }
      if (last_space != std::string::npos && last_space > 0) {
        lines.push_back(rest.substr(0, last_space));
        rest.erase(0, last_space + 1);
      } else {
        lines.push_back(rest.substr(0, cut));
        rest.erase(0, cut);
      }
    }
    lines.push_back(rest);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return lines;
}

class TerminalDialog : public DialogWindow {
 public:
  void run(const DialogPage& first_page) {
    {
      const std::lock_guard lock(mutex_);
      window_thread_ = std::this_thread::get_id();
      closed_ = false;
    }
    const RawTerminal raw;
    write_all("\x1b[?25l");  // no blinking cursor over the buttons
    drawn_lines_ = 0;
    show(first_page);
    notify(dialog_created, 0);
    redraw();

    while (!closing_) {
      pollfd sources[2] = {{STDIN_FILENO, POLLIN, 0}, {wake_.read_end(), POLLIN, 0}};
      if (::poll(sources, 2, -1) < 0) continue;
      if (sources[1].revents & POLLIN) {
        wake_.drain();
        apply_queued_messages();
      }
      if (sources[0].revents & (POLLIN | POLLHUP | POLLERR)) read_keys();
      if (!closing_) redraw();
    }

    {
      // From now on messages are dropped and any thread still waiting goes on.
      const std::lock_guard lock(mutex_);
      closed_ = true;
      queue_.clear();
    }
    applied_.notify_all();
    write_all("\x1b[?25h");
    closing_ = false;
  }

  void set_heading(std::u16string_view heading) override {
    send([&] { heading_ = utf16_to_utf8(heading); });
  }
  void set_detail(std::u16string_view detail) override {
    send([&] { detail_ = utf16_to_utf8(detail); });
  }
  void set_progress(int position) override {
    send([&] { progress_ = std::clamp(position, 0, 100); });
  }
  void navigate(const DialogPage& page) override {
    // The window's loop draws the new page once this message (or the key that led here) is done.
    send([&] {
      show(page);
      notify(dialog_navigated, 0);
    });
  }
  void set_icon(bool, void*) override {}  // a terminal has no icons

 private:
  struct Button {
    int id;
    std::string text;
  };

  // Runs `message` on the window's thread and returns when it has run (or the window closed).
  void send(const std::function<void()>& message) {
    std::unique_lock lock(mutex_);
    if (closed_) return;
    if (std::this_thread::get_id() == window_thread_) {
      lock.unlock();
      message();
      return;
    }
    const std::uint64_t ticket = ++queued_;
    queue_.push_back(&message);
    wake_.wake();
    applied_.wait(lock, [&] { return closed_ || applied_count_ >= ticket; });
  }

  void apply_queued_messages() {
    std::unique_lock lock(mutex_);
    while (!queue_.empty()) {
      const std::function<void()>* message = queue_.front();
      queue_.pop_front();
      lock.unlock();
      (*message)();
      lock.lock();
      ++applied_count_;
      applied_.notify_all();
    }
  }

  void show(const DialogPage& page) {
    page_ = &page;
    heading_ = page.heading ? utf16_to_utf8(page.heading) : std::string();
    detail_ = page.detail ? utf16_to_utf8(page.detail) : std::string();
    progress_ = 0;
    buttons_.clear();
    for (std::uint32_t i = 0; i < page.button_count; ++i) {
      buttons_.push_back({page.buttons[i].id, utf16_to_utf8(page.buttons[i].text)});
    }
    if (page.common_buttons & dialog_cancel_button)
      buttons_.push_back({dialog_cancel_id, "Cancel"});
    if (page.common_buttons & dialog_close_button) buttons_.push_back({dialog_close_id, "Close"});
    focus_ = 0;
    for (std::size_t i = 0; i < buttons_.size(); ++i) {
      if (buttons_[i].id == page.default_button) focus_ = i;
    }
  }

  int notify(unsigned notification, std::uintptr_t wparam) {
    if (!page_ || !page_->callback) return 0;
    return page_->callback(this, notification, wparam, 0, page_->callback_data);
  }

  void press(int id) {
    // 0 lets the button close the window; anything else keeps it open.
    if (notify(dialog_button_clicked, static_cast<std::uintptr_t>(id)) == 0) closing_ = true;
  }

  void read_keys() {
    char keys[32];
    const ssize_t n = ::read(STDIN_FILENO, keys, sizeof keys);
    if (n <= 0) {
      closing_ = true;  // the terminal has gone: nobody can press anything any more
      return;
    }
    const std::string input(keys, static_cast<std::size_t>(n));
    if (input == "\x1b" || input == "\x03") {
      // Esc, as cancellation is allowed on every page; Ctrl-C does the same.
      press(dialog_cancel_id);
    } else if (input == "\t" || input == "\x1b[C") {
      if (!buttons_.empty()) focus_ = (focus_ + 1) % buttons_.size();
    } else if (input == "\x1b[Z" || input == "\x1b[D") {
      if (!buttons_.empty()) focus_ = (focus_ + buttons_.size() - 1) % buttons_.size();
    } else if (input == "\r" || input == "\n") {
      if (!buttons_.empty()) press(buttons_[focus_].id);
    }
  }

  void redraw() {
    if (!page_) return;
    const std::size_t width = static_cast<std::size_t>(std::max(20, terminal_columns() - 2));
    std::vector<std::string> lines;
    const std::string title = page_->title ? utf16_to_utf8(page_->title) : std::string();
    lines.push_back(title);
    lines.push_back(std::string(std::min<std::size_t>(width, 60), '-'));
    for (const std::string& line : wrap(heading_, width))
      lines.push_back("\x1b[1m" + line + "\x1b[0m");
    if (!detail_.empty()) {
      for (const std::string& line : wrap(detail_, width)) lines.push_back(line);
    }
    if (page_->flags & dialog_show_progress_bar) {
      constexpr int bar = 40;
      const int filled = progress_ * bar / 100;
      lines.push_back("");
      lines.push_back("[" + std::string(filled, '#') + std::string(bar - filled, '.') + "] " +
                      std::to_string(progress_) + "%");
    }
    lines.push_back("");
    std::string row;
    for (std::size_t i = 0; i < buttons_.size(); ++i) {
      row += i == focus_ ? ">[ " + buttons_[i].text + " ]<  " : " [ " + buttons_[i].text + " ]   ";
    }
    lines.push_back(row);
    lines.push_back("\x1b[2mEnter: press the marked button  Tab: next button  Esc: close\x1b[0m");

    std::string frame = "\r";
    if (drawn_lines_ > 0) frame += "\x1b[" + std::to_string(drawn_lines_) + "A";
    frame += "\x1b[J";
    for (const std::string& line : lines) frame += line + "\r\n";
    write_all(frame);
    drawn_lines_ = lines.size();
  }

  WakePipe wake_;
  std::mutex mutex_;
  std::condition_variable applied_;
  std::deque<const std::function<void()>*> queue_;  // the senders wait, so their messages live
  std::uint64_t queued_ = 0, applied_count_ = 0;
  std::thread::id window_thread_;
  bool closed_ = true;

  // Touched only on the window's thread.
  const DialogPage* page_ = nullptr;
  std::string heading_, detail_;
  int progress_ = 0;
  std::vector<Button> buttons_;
  std::size_t focus_ = 0;
  std::size_t drawn_lines_ = 0;
  bool closing_ = false;
};

struct ThreadStart {
  std::uint32_t (*entry)(void*);
  void* parameter;
};

void* thread_main(void* start) {
  const ThreadStart what = *static_cast<ThreadStart*>(start);
  delete static_cast<ThreadStart*>(start);
  what.entry(what.parameter);
  return nullptr;
}

}  // namespace

bool prepare_user_interface() {
  return ::isatty(STDIN_FILENO);
}

void* load_program_icon(bool) {
  return nullptr;
}

bool start_thread(std::uint32_t (*entry)(void* parameter), void* parameter) {
  auto* start = new ThreadStart{entry, parameter};
  pthread_attr_t attributes;
  if (::pthread_attr_init(&attributes) != 0) {
    delete start;
    return false;
  }
  ::pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  const bool started = ::pthread_create(&thread, &attributes, thread_main, start) == 0;
  ::pthread_attr_destroy(&attributes);
  if (!started) delete start;
  return started;
}

bool show_task_dialog(const DialogPage& first_page) {
  // Never destroyed: a worker may still send to it while the process ends.
  static TerminalDialog& dialog = *new TerminalDialog;
  dialog.run(first_page);
  return true;
}

void end_process(int exit_code) {
  ::_exit(exit_code);
}

}  // namespace platform
