#include "support/release_host.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "fs/paths.h"
#include "platform/file_system.h"
#include "platform/process.h"
#include "platform/text.h"
#include "support/sandbox.h"

namespace {

// The host's state folder as this build's native path: under Wine the Linux path is reached
// through drive Z:, which maps the Linux root.
std::u16string native_folder(std::u16string folder) {
  if (platform::path_separator == u'\\' && !folder.empty() && folder.front() == u'/') {
    for (char16_t& unit : folder) {
      if (unit == u'/') unit = u'\\';
    }
    folder = u"Z:" + folder;
  }
  return folder;
}

// A JSON string holding the bytes one character each (U+0000 to U+00FF).
std::string json_bytes(std::string_view bytes) {
  std::string text = "\"";
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte == '"' || byte == '\\') {
      text += '\\';
      text += c;
    } else if (byte < 0x20 || byte >= 0x7F) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", byte);
      text += escape;
    } else {
      text += c;
    }
  }
  return text + "\"";
}

std::string json_answer(const HostAnswer& answer) {
  std::string text = "{\"status\":" + std::to_string(answer.status);
  if (answer.size >= 0) {
    text += ",\"size\":" + std::to_string(answer.size);
  } else {
    text += ",\"body\":" + json_bytes(answer.body);
  }
  text += ",\"framing\":" + json_bytes(answer.framing);
  if (answer.claim >= 0) text += ",\"claim\":" + std::to_string(answer.claim);
  if (answer.cut >= 0) text += ",\"cut\":" + std::to_string(answer.cut);
  if (answer.delay_ms) text += ",\"delay_ms\":" + std::to_string(answer.delay_ms);
  if (answer.rate) text += ",\"rate\":" + std::to_string(answer.rate);
  if (!answer.location.empty()) text += ",\"location\":" + json_bytes(answer.location);
  return text + "}";
}

std::vector<std::string> split(std::string_view text, char separator) {
  std::vector<std::string> pieces;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find(separator, start);
    pieces.emplace_back(text.substr(start, end - start));
    if (end == std::string_view::npos) return pieces;
    start = end + 1;
  }
}

}  // namespace

ReleaseHostSession::ReleaseHostSession() {
  static std::atomic<unsigned> counter{0};
  const std::u16string folder = platform::environment_variable(u"CORVALIS_RELEASE_HOST");
  if (folder.empty()) {
    ADD_FAILURE() << "CORVALIS_RELEASE_HOST is not set: run the tests with ctest, which starts "
                     "the release host (tests/support/release_host.py)";
    return;
  }
  state_ = native_folder(folder);
  const std::string ports = file_content(join_path(state_, u"port"));
  if (std::sscanf(ports.c_str(), "%u %u", &port_, &refused_port_) != 2) {
    port_ = 0;
    ADD_FAILURE() << "the release host is not running in " << platform::utf16_to_utf8(folder);
    return;
  }
  id_ = std::to_string(platform::current_process_id()) + "-" +
        std::to_string(platform::tick_count()) + "-" + std::to_string(counter++);
  base_ = platform::utf8_to_utf16("http://127.0.0.1:" + std::to_string(port_) + "/s/" + id_);
}

std::u16string ReleaseHostSession::url(std::string_view path) const {
  return base_ + platform::utf8_to_utf16(path);
}

std::u16string ReleaseHostSession::refused_url(std::string_view path) const {
  return platform::utf8_to_utf16("http://127.0.0.1:" + std::to_string(refused_port_)) +
         platform::utf8_to_utf16(path);
}

void ReleaseHostSession::script(
    std::initializer_list<std::pair<std::string, std::vector<HostAnswer>>> answers) {
  script(Script(answers));
}

void ReleaseHostSession::script(const Script& answers) {
  std::string text = "{";
  for (const auto& [path, list] : answers) {
    if (text.size() > 1) text += ",";
    text += json_bytes(path) + ":[";
    for (std::size_t i = 0; i < list.size(); ++i) text += (i ? "," : "") + json_answer(list[i]);
    text += "]";
  }
  text += "}";
  const std::u16string file =
      join_path(join_path(state_, u"sessions"), platform::utf8_to_utf16(id_ + ".json"));
  platform::delete_file(file);
  put_file(file, text);
}

std::vector<HostRequest> ReleaseHostSession::requests() const {
  const std::string log = file_content(
      join_path(join_path(state_, u"sessions"), platform::utf8_to_utf16(id_ + ".log")));
  std::vector<HostRequest> result;
  for (const std::string& line : split(log, '\n')) {
    if (line.empty()) continue;
    std::vector<std::string> fields = split(line, '\t');
    fields.resize(4);
    result.push_back({fields[0], fields[1], fields[2], fields[3]});
  }
  return result;
}

std::vector<std::string> ReleaseHostSession::request_paths() const {
  std::vector<std::string> paths;
  for (const HostRequest& request : requests()) paths.push_back(request.path);
  return paths;
}

long long ReleaseHostSession::body_bytes_sent(std::string_view path) const {
  const std::u16string record =
      join_path(join_path(state_, u"sessions"), platform::utf8_to_utf16(id_ + ".sent"));
  for (int tries = 0; tries < 200; ++tries) {
    for (const std::string& line : split(file_content(record), '\n')) {
      const std::vector<std::string> fields = split(line, '\t');
      if (fields.size() == 2 && fields[0] == path) return std::stoll(fields[1]);
    }
    // Not platform::pause: tests observe that one instead of sleeping.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return -1;
}
