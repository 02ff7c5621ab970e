#pragma once

// The platform layer's HTTP client (WinHTTP on Windows, libcurl on POSIX): one GET at a time on
// one process-wide client handle, its body handed on as it arrives.
//
// Native paths are UTF-16 (`std::u16string`) on every platform, converted only where they meet
// the OS (see platform/text.h). Unless a function says otherwise, it never throws: failure is a
// `false` or an empty result.

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// The largest body an exchange accepts: 200 MiB. A body of exactly this size is accepted.
inline constexpr std::size_t http_body_limit = 209'715'200;

// A body slower than this, averaged over the stall window, fails its exchange: a host that
// trickles a few bytes a second would otherwise hold a run for days.
inline constexpr std::uint32_t http_least_bytes_per_second = 1024;
inline constexpr std::uint32_t http_stall_window_seconds = 60;
// Shortens the stall window (whole seconds, at least 1; 0 restores the 60 s) so that tests see
// a slow body fail without waiting a minute.
void set_http_stall_window_for_testing(std::uint32_t seconds);

// Where the body of an exchange goes, piece by piece in order, as it arrives.
class HttpBodySink {
 public:
  // Takes the next piece; false ends the exchange as failed.
  virtual bool write(const void* data, std::size_t length) = 0;

 protected:
  ~HttpBodySink() = default;
};

// How an exchange ended.
struct HttpAnswer {
  // The whole exchange worked and the whole body was read, whatever the status.
  bool complete = false;
  // The status of the response, 0 when none arrived. The caller judges it.
  std::uint32_t status = 0;
  // The transport's own error code of an exchange that did not complete (GetLastError on
  // Windows, the CURLcode on POSIX), 0 when there is none.
  std::uint32_t error = 0;
  // A response with status 200 whose body is longer than the exchange's limit: its stated
  // Content-Length said so before any of the body was read, or the first byte beyond arrived.
  bool over_limit = false;
};

// Opens the process-wide client handle (WinHttpOpen; POSIX: libcurl's global state and a share
// object), kept until the process ends; later calls only answer. False when it cannot be opened.
bool open_http_client();

// One GET of `url` with the user agent "CorvalisSetup/1.0" and "Cache-Control: no-cache", on
// the client `open_http_client` opened (opening it when nobody has).
//
// The body of a response with status 200 goes to `body` as it arrives, at most `limit` bytes
// (never more than `http_body_limit`): a stated Content-Length beyond the limit ends the
// exchange before any of the body is read, and a body that grows beyond it ends the exchange
// before a byte beyond reaches the sink. The body of any other status is read up to
// `http_body_limit` and dropped, since the caller judges only the status. A body slower than
// `http_least_bytes_per_second` over the stall window ends the exchange too.
HttpAnswer http_exchange(const std::u16string& url, HttpBodySink& body, std::uint64_t limit);

}  // namespace platform
