#pragma once

// The installer's one way to the release host: a plain GET that insists on status 200, tries
// a URL up to three times and logs every failed attempt. The body comes back whole in memory
// (small documents) or goes to a sink as it arrives (files, never whole in memory).

#include <cstdint>
#include <string>

#include "platform/http.h"

// The message of every failed fetch.
inline constexpr const char* download_failure_message =
    "Couldn't download Corvalis. Check your internet connection and run Setup again.";

// The message when a body cannot be kept where it goes (the disk holding the temporary folder
// is full or refuses the write).
inline constexpr const char* download_not_saved_message =
    "Couldn't save a download in the temporary folder. Make sure the disk has free space, then "
    "run Setup again.";

// Where `http_get` puts a body as it arrives. Each attempt starts it over.
class BodySink : public platform::HttpBodySink {
 public:
  // Drops whatever an earlier attempt wrote; false when the sink cannot start over.
  virtual bool restart() = 0;
  // True once a write failed: the bytes had nowhere to go, and fetching again will not help.
  bool broken() const { return broken_; }

 protected:
  ~BodySink() = default;
  bool broken_ = false;
};

// A body kept whole in memory, in `text`.
class TextSink final : public BodySink {
 public:
  std::string text;

  bool restart() override {
    text.clear();  // keeps the storage an earlier attempt reserved
    return true;
  }
  bool write(const void* data, std::size_t length) override {
    text.append(static_cast<const char*>(data), length);
    return true;
  }
};

// The body of `url` (absolute, http or https) answered with status 200, bytes exactly as
// received. A failed attempt (transport failure, body over the limit of the platform, any
// status but 200) is logged as "GET <url> failed (status S, error E)" and retried after a pause
// of 1 s, then 2 s; after the third failure and a pause of 3 s it throws
// Failure(download_failure_message). A 404 throws at once, without a pause. When the shared
// client cannot be opened it throws Failure("Windows couldn't start a download.") without
// logging or retrying.
std::string http_get(const std::u16string& url);

// The same fetch with the body going to `sink` as it arrives, each attempt restarting it, and
// a status 200 body of at most `limit` bytes: a longer one (or a stated length beyond it) ends
// the fetch at once, neither logged nor retried, and answers false, since a body too long for
// what it should be will not get shorter. A limit of the platform's largest body or more
// behaves as `http_get` does. A sink that cannot start over or take a write throws
// Failure(download_not_saved_message) at once.
bool http_get(const std::u16string& url, BodySink& sink, std::uint64_t limit);
