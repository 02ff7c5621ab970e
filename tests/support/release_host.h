#pragma once

// The tests' side of the scripted release host (release_host.py beside this file). ctest starts
// one host per build before the tests and names its state folder in CORVALIS_RELEASE_HOST; each
// `ReleaseHostSession` is one test's private corner of it, so tests may run in parallel.

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// One scripted answer. Bodies are bytes; `size` generates that many bytes instead (byte i is
// i % 251) without the host ever holding them.
struct HostAnswer {
  HostAnswer(int status_code = 200, std::string body_bytes = {})
      : status(status_code), body(std::move(body_bytes)) {}

  int status = 200;
  std::string body;
  long long size = -1;
  std::string framing = "length";  // "length", "chunked" or "close"
  long long claim = -1;            // a Content-Length that differs from the body
  long long cut = -1;              // close the connection after this many body bytes
  int delay_ms = 0;                // before the status line
  int rate = 0;                    // body bytes a second, when above 0
  std::string location;
};

// One request as the host saw it.
struct HostRequest {
  std::string path;  // below the session's base, as sent (escapes and query included)
  std::string user_agent, cache_control, accept;  // "-" when the header was absent
};

class ReleaseHostSession {
 public:
  // Opens a fresh session; a missing host fails the current test (see `running`).
  ReleaseHostSession();

  bool running() const { return port_ != 0; }
  // "http://127.0.0.1:<port>/s/<session>": paths of the script hang below it.
  const std::u16string& base() const { return base_; }
  std::u16string url(std::string_view path) const;
  // A URL on a loopback port where nothing listens (connecting is refused).
  std::u16string refused_url(std::string_view path) const;

  // Replaces the script: for each path (as the client sends it), the answers in order; the
  // last one repeats.
  using Script = std::vector<std::pair<std::string, std::vector<HostAnswer>>>;
  void script(std::initializer_list<std::pair<std::string, std::vector<HostAnswer>>> answers);
  void script(const Script& answers);
  // Every request of this session so far, in order of arrival.
  std::vector<HostRequest> requests() const;
  std::vector<std::string> request_paths() const;
  // The body bytes the host wrote for the first answer to `path` that has ended: fewer than
  // planned when the client stopped reading. Waits up to 10 s for that answer to end (a writer
  // blocked on a full connection ends only once the client has closed it); -1 when none did.
  long long body_bytes_sent(std::string_view path) const;

 private:
  std::u16string state_;  // the host's state folder as a native path
  std::string id_;
  unsigned port_ = 0, refused_port_ = 0;
  std::u16string base_;
};

// The byte at position `index` of a generated body.
inline char generated_byte(std::uint64_t index) {
  return static_cast<char>(index % 251);
}
