// Windows: one HTTP GET on WinHTTP, synchronous, on the process-wide session handle.
// Only this file and its `*_win.cpp` siblings include <windows.h>. winhttp.dll is no KnownDLL:
// imported by the program, Windows would look for it in the program's folder first, so it is
// loaded from System32 by name when the client is opened.

#include <windows.h>
// windows.h first: winhttp.h relies on its types.
#include <winhttp.h>

#include <memory>

#include "platform/http.h"
#include "platform/process.h"
#include "platform/support_win.h"

namespace platform {

namespace {

// Not every SDK names it: automatic proxy discovery, Windows 8.1 and later.
constexpr DWORD automatic_proxy = 4;
constexpr DWORD secure_flag = 0x00800000;  // WINHTTP_FLAG_SECURE

// The shared client handle: opened by the first request, kept until the process ends.
HINTERNET session = nullptr;

std::uint32_t stall_window_seconds = http_stall_window_seconds;

// Bytes taken from WinHTTP per read; fits the L2 cache the sink reads them from.
constexpr DWORD receive_buffer_bytes = 64 * 1024;

// The WinHTTP calls, found once; all null when winhttp.dll or one of them is missing, and no
// client opens then.
struct WinHttpCalls {
  decltype(&::WinHttpOpen) open = nullptr;
  decltype(&::WinHttpSetTimeouts) set_timeouts = nullptr;
  decltype(&::WinHttpCrackUrl) crack_url = nullptr;
  decltype(&::WinHttpConnect) connect = nullptr;
  decltype(&::WinHttpOpenRequest) open_request = nullptr;
  decltype(&::WinHttpSendRequest) send_request = nullptr;
  decltype(&::WinHttpReceiveResponse) receive_response = nullptr;
  decltype(&::WinHttpQueryHeaders) query_headers = nullptr;
  decltype(&::WinHttpQueryDataAvailable) query_data_available = nullptr;
  decltype(&::WinHttpReadData) read_data = nullptr;
  decltype(&::WinHttpCloseHandle) close_handle = nullptr;
};

const WinHttpCalls& winhttp() {
  static const WinHttpCalls calls = [] {
    const HMODULE library = load_system_library(L"winhttp.dll");
    WinHttpCalls found;
    if (find_function(library, "WinHttpOpen", found.open) &&
        find_function(library, "WinHttpSetTimeouts", found.set_timeouts) &&
        find_function(library, "WinHttpCrackUrl", found.crack_url) &&
        find_function(library, "WinHttpConnect", found.connect) &&
        find_function(library, "WinHttpOpenRequest", found.open_request) &&
        find_function(library, "WinHttpSendRequest", found.send_request) &&
        find_function(library, "WinHttpReceiveResponse", found.receive_response) &&
        find_function(library, "WinHttpQueryHeaders", found.query_headers) &&
        find_function(library, "WinHttpQueryDataAvailable", found.query_data_available) &&
        find_function(library, "WinHttpReadData", found.read_data) &&
        find_function(library, "WinHttpCloseHandle", found.close_handle)) {
      return found;
    }
    return WinHttpCalls{};
  }();
  return calls;
}

}  // namespace

void set_http_stall_window_for_testing(std::uint32_t seconds) {
  stall_window_seconds = seconds == 0 ? http_stall_window_seconds : seconds;
}

bool open_http_client() {
  if (session) return true;
  if (!winhttp().open) {
    ::SetLastError(ERROR_MOD_NOT_FOUND);
    return false;
  }
  HINTERNET opened = winhttp().open(L"CorvalisSetup/1.0", automatic_proxy, WINHTTP_NO_PROXY_NAME,
                                    WINHTTP_NO_PROXY_BYPASS, 0);
  // Windows before 8.1 refuses automatic discovery: take the configured proxy instead.
  if (!opened) {
    opened = winhttp().open(L"CorvalisSetup/1.0", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                            WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
  }
  if (!opened) return false;
  // Name resolution, connect, send, receive.
  winhttp().set_timeouts(opened, 15000, 15000, 30000, 60000);
  session = opened;
  return true;
}

namespace {

// Connection and request handles: WinHttpCloseHandle.
struct InternetHandleTraits {
  using Handle = HINTERNET;
  static bool is_valid(Handle handle) { return handle != nullptr; }
  static void close(Handle handle) { winhttp().close_handle(handle); }
};
using InternetHandle = ScopedHandle<InternetHandleTraits>;

// The length the server states, or -1 when it states none (chunked or close-delimited
// bodies). Read as text: not every WinHTTP answers the 64-bit number query.
long long stated_length(HINTERNET request) {
  wchar_t text[32];
  DWORD size = sizeof text;
  if (!winhttp().query_headers(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX,
                               text, &size, WINHTTP_NO_HEADER_INDEX)) {
    return -1;
  }
  const DWORD units = size / sizeof(wchar_t);
  if (units == 0 || units > 18) return -1;
  long long length = 0;
  for (DWORD i = 0; i < units; ++i) {
    if (text[i] < L'0' || text[i] > L'9') return -1;
    length = length * 10 + (text[i] - L'0');
  }
  return length;
}

// WinHTTP's receive time-out only catches a body that stops: this catches one that trickles.
// The body's bytes are counted over consecutive windows of the stall window's length; a window
// that ends with fewer than the least rate allows fails the exchange.
class StallGuard {
 public:
  StallGuard() : window_start_(tick_count()) {}

  // False when the window just ended below the least rate.
  bool received(std::uint64_t bytes) {
    window_bytes_ += bytes;
    const std::uint64_t now = tick_count();
    const std::uint64_t window_ms = std::uint64_t{stall_window_seconds} * 1000;
    if (now - window_start_ < window_ms) return true;
    const std::uint64_t least = std::uint64_t{http_least_bytes_per_second} * stall_window_seconds;
    if (window_bytes_ < least) return false;
    window_start_ = now;
    window_bytes_ = 0;
    return true;
  }

 private:
  std::uint64_t window_start_;
  std::uint64_t window_bytes_ = 0;
};

// Reads the whole body, handing it to `sink` when `to_sink` (else dropping it), never more than
// `limit` bytes. False, with the answer's error set, when reading fails, the body passes the
// limit (before a byte beyond is read) or arrives too slowly.
bool read_body(HINTERNET request, HttpBodySink& sink, bool to_sink, std::uint64_t limit,
               HttpAnswer& answer) {
  const long long stated = stated_length(request);
  if (stated > static_cast<long long>(limit)) {
    answer.error = ERROR_FILE_TOO_LARGE;
    answer.over_limit = to_sink;
    return false;
  }
  const std::unique_ptr<char[]> buffer(new char[receive_buffer_bytes]);
  StallGuard guard;
  std::uint64_t received = 0;
  for (;;) {
    DWORD available = 0;
    if (!winhttp().query_data_available(request, &available)) {
      answer.error = ::GetLastError();
      return false;
    }
    if (available == 0) break;
    // Bytes the server has already sent: if they do not fit, the body is over the limit.
    if (available > limit - received) {
      answer.error = ERROR_FILE_TOO_LARGE;
      answer.over_limit = to_sink;
      return false;
    }
    DWORD read = 0;
    if (!winhttp().read_data(request, buffer.get(),
                             available < receive_buffer_bytes ? available : receive_buffer_bytes,
                             &read)) {
      answer.error = ::GetLastError();
      return false;
    }
    received += read;
    if (to_sink && !sink.write(buffer.get(), read)) {
      answer.error = ERROR_WRITE_FAULT;
      return false;
    }
    if (!guard.received(read)) {
      answer.error = ERROR_WINHTTP_TIMEOUT;
      return false;
    }
  }
  // A connection that closes early can end the body without an error from WinHTTP: a body
  // shorter than the server said is a broken transfer, not a complete one.
  if (stated >= 0 && received != static_cast<unsigned long long>(stated)) {
    answer.error = ERROR_WINHTTP_CONNECTION_ERROR;
    return false;
  }
  return true;
}

}  // namespace

HttpAnswer http_exchange(const std::u16string& url, HttpBodySink& body, std::uint64_t limit) {
  HttpAnswer answer;

  wchar_t host[256];
  wchar_t path[2048];
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof parts;
  parts.dwSchemeLength = static_cast<DWORD>(-1);  // the scheme is wanted; no buffer needed
  parts.lpszHostName = host;
  parts.dwHostNameLength = 256;
  parts.lpszUrlPath = path;
  parts.dwUrlPathLength = 2048;
  if (!winhttp().open) {
    answer.error = ERROR_MOD_NOT_FOUND;
    return answer;
  }
  const auto* address = reinterpret_cast<const wchar_t*>(url.c_str());
  if (!winhttp().crack_url(address, 0, 0, &parts)) {
    answer.error = ::GetLastError();
    return answer;
  }
  const bool secure = parts.nScheme == INTERNET_SCHEME_HTTPS;

  if (!open_http_client()) {
    answer.error = ::GetLastError();
    return answer;
  }
  InternetHandle connection(winhttp().connect(session, host, parts.nPort, 0));
  if (!connection) {
    answer.error = ::GetLastError();
    return answer;
  }
  InternetHandle request(winhttp().open_request(connection.get(), L"GET", path, nullptr,
                                                WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                secure ? secure_flag : 0));
  if (!request) {
    answer.error = ::GetLastError();
    return answer;
  }
  if (!winhttp().send_request(request.get(), L"Cache-Control: no-cache\r\n", static_cast<DWORD>(-1),
                              WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
      !winhttp().receive_response(request.get(), nullptr)) {
    answer.error = ::GetLastError();
    return answer;
  }
  DWORD code = 0;
  DWORD size = sizeof code;
  if (winhttp().query_headers(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                              WINHTTP_HEADER_NAME_BY_INDEX, &code, &size,
                              WINHTTP_NO_HEADER_INDEX)) {
    answer.status = code;
  }
  // Only a 200's body is wanted; any other is read to its end (up to the largest body) so that
  // the exchange completes, and dropped.
  const bool to_sink = answer.status == 200;
  const std::uint64_t most = to_sink && limit < http_body_limit ? limit : http_body_limit;
  // On the way out the request handle closes before the connection handle (reverse order of
  // construction).
  answer.complete = read_body(request.get(), body, to_sink, most, answer);
  return answer;
}

}  // namespace platform
