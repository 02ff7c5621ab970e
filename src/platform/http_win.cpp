// Windows: one HTTP GET on WinHTTP, synchronous, on the process-wide session handle.
// Only this file and its `*_win.cpp` siblings include <windows.h>.

#include <windows.h>
// windows.h first: winhttp.h relies on its types.
#include <winhttp.h>

#include "platform/platform.h"
#include "platform/support_win.h"

namespace platform {

namespace {

// Not every SDK names it: automatic proxy discovery, Windows 8.1 and later.
constexpr DWORD automatic_proxy = 4;
constexpr DWORD secure_flag = 0x00800000;  // WINHTTP_FLAG_SECURE

// The shared client handle: opened by the first request, kept until the process ends.
HINTERNET session = nullptr;

}  // namespace

bool open_http_client() {
  if (session) return true;
  HINTERNET opened = ::WinHttpOpen(L"CorvalisSetup/1.0", automatic_proxy, WINHTTP_NO_PROXY_NAME,
                                   WINHTTP_NO_PROXY_BYPASS, 0);
  // Windows before 8.1 refuses automatic discovery: take the configured proxy instead.
  if (!opened) {
    opened = ::WinHttpOpen(L"CorvalisSetup/1.0", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                           WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
  }
  if (!opened) return false;
  // Name resolution, connect, send, receive.
  ::WinHttpSetTimeouts(opened, 15000, 15000, 30000, 60000);
  session = opened;
  return true;
}

namespace {

// Connection and request handles: WinHttpCloseHandle.
struct InternetHandleTraits {
  using Handle = HINTERNET;
  static bool is_valid(Handle handle) { return handle != nullptr; }
  static void close(Handle handle) { ::WinHttpCloseHandle(handle); }
};
using InternetHandle = ScopedHandle<InternetHandleTraits>;

// The length the server states, or -1 when it states none (chunked or close-delimited
// bodies). Read as text: not every WinHTTP answers the 64-bit number query.
long long stated_length(HINTERNET request) {
  wchar_t text[32];
  DWORD size = sizeof text;
  if (!::WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX,
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

// Reads the whole body straight into the body's own storage, growing it by what WinHTTP says
// is available. False, with `error` set, when reading fails or the body passes the limit.
bool read_body(HINTERNET request, std::string& body, std::uint32_t& error) {
  const long long stated = stated_length(request);
  if (stated > static_cast<long long>(http_body_limit)) {
    error = ERROR_FILE_TOO_LARGE;
    return false;
  }
  if (stated > 0) body.reserve(static_cast<std::size_t>(stated));
  for (;;) {
    DWORD available = 0;
    if (!::WinHttpQueryDataAvailable(request, &available)) {
      error = ::GetLastError();
      return false;
    }
    if (available == 0) break;
    // Bytes the server has already sent: if they do not fit, the body is over the limit.
    if (available > http_body_limit - body.size()) {
      error = ERROR_FILE_TOO_LARGE;
      return false;
    }
    const std::size_t old_length = body.size();
    body.resize(old_length + available);
    DWORD read = 0;
    const BOOL ok = ::WinHttpReadData(request, body.data() + old_length, available, &read);
    const DWORD reason = ::GetLastError();
    body.resize(old_length + (ok ? read : 0));
    if (!ok) {
      error = reason;
      return false;
    }
  }
  // A connection that closes early can end the body without an error from WinHTTP: a body
  // shorter than the server said is a broken transfer, not a complete one.
  if (stated >= 0 && body.size() != static_cast<unsigned long long>(stated)) {
    error = ERROR_WINHTTP_CONNECTION_ERROR;
    return false;
  }
  return true;
}

}  // namespace

bool http_exchange(const std::u16string& url, std::string& body, std::uint32_t& status,
                   std::uint32_t& error) {
  body.clear();
  status = 0;
  error = 0;

  wchar_t host[256];
  wchar_t path[2048];
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof parts;
  parts.dwSchemeLength = static_cast<DWORD>(-1);  // the scheme is wanted; no buffer needed
  parts.lpszHostName = host;
  parts.dwHostNameLength = 256;
  parts.lpszUrlPath = path;
  parts.dwUrlPathLength = 2048;
  const auto* address = reinterpret_cast<const wchar_t*>(url.c_str());
  if (!::WinHttpCrackUrl(address, 0, 0, &parts)) {
    error = ::GetLastError();
    return false;
  }
  const bool secure = parts.nScheme == INTERNET_SCHEME_HTTPS;

  if (!open_http_client()) {
    error = ::GetLastError();
    return false;
  }
  InternetHandle connection(::WinHttpConnect(session, host, parts.nPort, 0));
  if (!connection) {
    error = ::GetLastError();
    return false;
  }
  InternetHandle request(::WinHttpOpenRequest(connection.get(), L"GET", path, nullptr,
                                              WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                              secure ? secure_flag : 0));
  if (!request) {
    error = ::GetLastError();
    return false;
  }
  if (!::WinHttpSendRequest(request.get(), L"Cache-Control: no-cache\r\n", static_cast<DWORD>(-1),
                            WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
      !::WinHttpReceiveResponse(request.get(), nullptr)) {
    error = ::GetLastError();
    return false;
  }
  DWORD code = 0;
  DWORD size = sizeof code;
  if (::WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                            WINHTTP_HEADER_NAME_BY_INDEX, &code, &size, WINHTTP_NO_HEADER_INDEX)) {
    status = code;
  }
  // On the way out the request handle closes before the connection handle (reverse order of
  // construction).
  return read_body(request.get(), body, error);
}

}  // namespace platform
