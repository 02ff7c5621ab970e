#include "log/setup_log.h"

#include <string>
#include <string_view>
#include <utility>

#include "fs/paths.h"
#include "platform/file_system.h"
#include "platform/process.h"
#include "platform/text.h"
#include "platform/users.h"

namespace {

LogMirror log_mirror = nullptr;

constexpr std::u16string_view log_name = u"Corvalis Setup.log";

std::u16string chosen_folder;
std::u16string chosen_file;  // --log: wins over every other rule

// The folder the log is in and its name there.
std::pair<std::u16string, std::u16string> log_place() {
  if (!chosen_file.empty()) return folder_and_name(chosen_file);
  return {
      without_trailing_separator(chosen_folder.empty() ? platform::temp_folder() : chosen_folder),
      std::u16string(log_name)};
}

// Opens the log for appending through its folder held open as itself.
bool open_log(platform::OpenFolder& folder, platform::File& file) {
  const auto [folder_path, name] = log_place();
  return !name.empty() && folder.open(folder_path) && file.open_for_appending(folder, name);
}

// `value` in decimal, with leading zeros up to `width` digits. The fields of a local time are
// never negative.
void append_padded(std::string& text, int value, std::size_t width) {
  std::string digits = std::to_string(value < 0 ? 0 : value);
  if (digits.size() < width) text.append(width - digits.size(), '0');
  text.append(digits);
}

}  // namespace

void use_log_folder(std::u16string folder) {
  chosen_folder = std::move(folder);
}

void use_log_file(std::u16string file) {
  chosen_file = std::move(file);
}

std::u16string log_file_path() {
  if (!chosen_file.empty()) return chosen_file;
  const auto [folder, name] = log_place();
  return join_path(folder, name);
}

bool log_can_be_written() {
  platform::OpenFolder folder;
  platform::File file;
  return open_log(folder, file);
}

std::string format_log_line(const platform::LocalTime& time, std::string_view message) {
  // Formatted by hand rather than with snprintf, whose mingw-w64 implementation (with its
  // floating-point conversions) would be most of the reason to link a printf into the program.
  std::string line;
  line.reserve(20 + message.size() + 2);
  append_padded(line, time.year, 4);
  line += '-';
  append_padded(line, time.month, 2);
  line += '-';
  append_padded(line, time.day, 2);
  line += ' ';
  append_padded(line, time.hour, 2);
  line += ':';
  append_padded(line, time.minute, 2);
  line += ':';
  append_padded(line, time.second, 2);
  line += ' ';
  line.append(message);
  line.append("\r\n");
  return line;
}

void mirror_log_lines(LogMirror mirror) {
  log_mirror = mirror;
}

void log_line(std::string_view message) {
  platform::OpenFolder folder;
  platform::File file;
  const bool opened = open_log(folder, file);
  if (!opened && log_mirror == nullptr) return;
  const std::string line = format_log_line(platform::local_time(), message);
  if (opened) file.write(line.data(), line.size());  // a short write is not the run's concern
  if (log_mirror != nullptr) log_mirror(line);
}
