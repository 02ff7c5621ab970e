#include "fs/paths.h"

#include <algorithm>

#include "failure.h"
#include "platform/text.h"
#include "platform/users.h"

std::u16string join_path(std::u16string_view base, std::u16string_view part) {
  std::u16string joined;
  joined.reserve(base.size() + 1 + part.size());
  joined.append(base);
  if (!base.empty() && base.back() != platform::path_separator) joined += platform::path_separator;
  joined.append(part);
  return joined;
}

std::u16string without_trailing_separator(std::u16string_view path) {
  const bool drive_root = path.size() == 3 && path[1] == u':';
  if (path.size() > 1 && !drive_root && path.back() == platform::path_separator) {
    path.remove_suffix(1);
  }
  return std::u16string(path);
}

std::pair<std::u16string, std::u16string> folder_and_name(std::u16string_view path) {
  const std::size_t last = path.find_last_of(platform::path_separator);
  if (last == std::u16string_view::npos) return {u".", std::u16string(path)};
  return {without_trailing_separator(path.substr(0, last + 1)),
          std::u16string(path.substr(last + 1))};
}

std::u16string known_folder_path(const platform::KnownFolderId& folder) {
  std::u16string path = platform::known_folder(folder);
  if (path.empty()) throw Failure("Windows didn't say where this user's folders are.");
  return path;
}

std::u16string join_release_path(std::u16string_view root, std::string_view release_path) {
  if (release_path.empty()) return {};
  if (release_path.front() == '/' || release_path.front() == '\\') return {};
  // A colon names a drive or an alternate data stream: never part of a release path.
  if (release_path.find(':') != std::string_view::npos) return {};
  // The platform's file calls end a name at a NUL: "..<NUL>/x" would be judged as a name and
  // opened as the parent folder, "a<NUL>b" written as "a".
  if (release_path.find('\0') != std::string_view::npos) return {};

  std::u16string joined(root);
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = release_path.find_first_of("/\\", start);
    const std::string_view segment =
        release_path.substr(start, end == std::string_view::npos ? end : end - start);
    if (segment.empty() || segment == "." || segment == "..") return {};
    joined = join_path(joined, platform::utf8_to_utf16(segment));
    if (end == std::string_view::npos) return joined;
    start = end + 1;
  }
}

std::u16string decimal(std::uint64_t value) {
  const std::string digits = std::to_string(value);
  return std::u16string(digits.begin(), digits.end());
}

bool is_decimal(std::u16string_view text) {
  return !text.empty() && text.size() <= 20 &&
         std::all_of(text.begin(), text.end(), [](char16_t c) { return c >= u'0' && c <= u'9'; });
}

bool equal_ignoring_ascii_case(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  auto lower = [](char16_t c) { return c >= u'A' && c <= u'Z' ? char16_t(c - u'A' + u'a') : c; };
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}
