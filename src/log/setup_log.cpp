#include "log/setup_log.h"

#include <cstdio>

#include "fs/paths.h"

std::u16string log_file_path() {
  return join_path(platform::temp_folder(), u"Corvalis Setup.log");
}

std::string format_log_line(const platform::LocalTime& time, std::string_view message) {
  char stamp[32];
  const int length = std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d ", time.year,
                                   time.month, time.day, time.hour, time.minute, time.second);
  std::string line;
  line.reserve(static_cast<std::size_t>(length) + message.size() + 2);
  line.append(stamp, static_cast<std::size_t>(length));
  line.append(message);
  line.append("\r\n");
  return line;
}

void log_line(std::string_view message) {
  platform::File file;
  if (!file.open(log_file_path(), platform::File::Mode::append_shared_read)) return;
  const std::string line = format_log_line(platform::local_time(), message);
  file.write(line.data(), line.size());  // a short write is not the run's concern
}
