// POSIX stand-in of the registry: each key a small text file the caller names, one
// "name<TAB>sz|dword<TAB>value" line per value, tabs, line feeds and backslashes escaped.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "platform/registry.h"
#include "platform/text.h"

namespace platform {

namespace {

std::string escaped(const std::u16string& text) {
  std::string out;
  for (const char c : utf16_to_utf8(text)) {
    if (c == '\\')
      out += "\\\\";
    else if (c == '\t')
      out += "\\t";
    else if (c == '\n')
      out += "\\n";
    else
      out += c;
  }
  return out;
}

std::u16string unescaped(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    const char next = text[++i];
    out += next == 't' ? '\t' : next == 'n' ? '\n' : next;
  }
  return utf8_to_utf16(out);
}

bool read_file(const std::string& path, std::string& content, std::uint32_t& error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    error = static_cast<std::uint32_t>(errno);
    return false;
  }
  char buffer[4096];
  ssize_t got = 0;
  while ((got = ::read(fd, buffer, sizeof buffer)) > 0) content.append(buffer, got);
  error = got < 0 ? static_cast<std::uint32_t>(errno) : 0;
  ::close(fd);
  return got == 0;
}

std::vector<RegistryValue> parsed(const std::string& content) {
  std::vector<RegistryValue> values;
  for (std::size_t start = 0; start < content.size();) {
    const std::size_t end = std::min(content.find('\n', start), content.size());
    const std::string line = content.substr(start, end - start);
    start = end + 1;
    const std::size_t first = line.find('\t'), second = line.find('\t', first + 1);
    if (first == std::string::npos || second == std::string::npos) continue;
    RegistryValue value;
    value.name = unescaped(line.substr(0, first));
    const std::string type = line.substr(first + 1, second - first - 1);
    const std::string data = line.substr(second + 1);
    if (type == "dword") {
      value.number = static_cast<std::uint32_t>(std::strtoul(data.c_str(), nullptr, 10));
    } else {
      value.text = unescaped(data);
    }
    values.push_back(std::move(value));
  }
  return values;
}

}  // namespace

bool write_registry_values(const RegistryKey& key, const std::vector<RegistryValue>& values,
                           std::uint32_t& error) {
  const std::string path = utf16_to_utf8(key.stand_in);
  std::string content;
  std::vector<RegistryValue> kept;
  if (read_file(path, content, error)) kept = parsed(content);
  for (const RegistryValue& value : values) {
    std::erase_if(kept, [&](const RegistryValue& old) { return old.name == value.name; });
    kept.push_back(value);
  }
  content.clear();
  for (const RegistryValue& value : kept) {
    content += escaped(value.name) +
               (value.number ? "\tdword\t" + std::to_string(*value.number)
                             : "\tsz\t" + escaped(value.text)) +
               "\n";
  }
  const std::string fresh = path + ".new";
  const int fd = ::open(fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
  bool written =
      fd >= 0 &&
      ::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size()) &&
      ::fsync(fd) == 0;
  error = written ? 0 : static_cast<std::uint32_t>(errno);
  if (fd >= 0) ::close(fd);
  written = written && ::rename(fresh.c_str(), path.c_str()) == 0;
  if (!written) {
    if (error == 0) error = static_cast<std::uint32_t>(errno);
    ::unlink(fresh.c_str());
  }
  return written;
}

bool read_registry_values(const RegistryKey& key, std::vector<RegistryValue>& values,
                          std::uint32_t& error) {
  std::string content;
  values.clear();
  if (!read_file(utf16_to_utf8(key.stand_in), content, error)) return false;
  values = parsed(content);
  return true;
}

bool delete_registry_key(const RegistryKey& key, bool& existed, std::uint32_t& error) {
  existed = ::unlink(utf16_to_utf8(key.stand_in).c_str()) == 0;
  error = existed || errno == ENOENT ? 0 : static_cast<std::uint32_t>(errno);
  return error == 0;
}

}  // namespace platform
