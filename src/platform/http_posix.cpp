// POSIX: one HTTP GET on libcurl, shaped like the WinHTTP exchange of the Windows build.
// Only libcurl and C library headers belong here; the logic never sees them.
//
// How the Windows client's settings map onto libcurl:
// - The shared client is libcurl's global state plus one share object that keeps the DNS and
//   connection caches for the rest of the process, as WinHTTP's session does. Each exchange
//   has its own easy handle (WinHTTP's connection and request), closed when it ends.
// - Proxy: libcurl's own discovery, the usual environment variables (http_proxy, HTTPS_PROXY,
//   ALL_PROXY, NO_PROXY). There is no configured default to fall back on.
// - Time-outs: libcurl has one budget for name resolution and connecting together, so it gets
//   the two WinHTTP budgets added (15 s + 15 s). It has no send or receive time-out per
//   operation; its low-speed guard (less than 1 KiB a second over the stall window ends the
//   exchange) covers a stuck receive, a trickling body and, since the request is a few hundred
//   bytes sent in one write, the 30 s a stuck send would get on Windows.
// - Redirects are followed as WinHTTP does by default: at most 10, never from https to http.
// - No Accept or Accept-Encoding header, as WinHTTP sends none: the body arrives as served.
// - The path goes out as built, dot segments and all, as WinHTTP sends it. libcurl would
//   otherwise remove "." and ".." segments, and a release of version "." would be asked for
//   at another URL than the Windows build asks.

#include <curl/curl.h>
#include <strings.h>

#include <cstdint>
#include <memory>

#include "platform/http.h"
#include "platform/text.h"

namespace platform {

namespace {

constexpr long connect_budget_ms = 15'000 + 15'000;  // name resolution + connect
constexpr long receive_buffer_bytes = 64 * 1024;     // fits the L2 cache it is copied from

std::uint32_t stall_window_seconds = http_stall_window_seconds;

// The process-wide client, made by the first exchange and never released: like WinHTTP's
// session handle it lives until the process ends.
CURLSH* shared_client = nullptr;

}  // namespace

void set_http_stall_window_for_testing(std::uint32_t seconds) {
  stall_window_seconds = seconds == 0 ? http_stall_window_seconds : seconds;
}

bool open_http_client() {
  if (shared_client) return true;
  if (::curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) return false;
  CURLSH* share = ::curl_share_init();
  if (!share) return false;
  // One thread at a time uses the client, so the share needs no lock callbacks.
  ::curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
  ::curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT);
  shared_client = share;
  return true;
}

namespace {

// Each libcurl handle lives in a unique_ptr, released on every way out.
struct EasyHandleDeleter {
  void operator()(CURL* handle) const { ::curl_easy_cleanup(handle); }
};
struct UrlHandleDeleter {
  void operator()(CURLU* handle) const { ::curl_url_cleanup(handle); }
};
struct HeaderListDeleter {
  void operator()(curl_slist* list) const { ::curl_slist_free_all(list); }
};
using EasyHandle = std::unique_ptr<CURL, EasyHandleDeleter>;
using UrlHandle = std::unique_ptr<CURLU, UrlHandleDeleter>;
using HeaderList = std::unique_ptr<curl_slist, HeaderListDeleter>;

// Appends a header; false (the list unchanged) when there is no memory for it.
bool add_header(HeaderList& headers, const char* header) {
  curl_slist* longer = ::curl_slist_append(headers.get(), header);
  if (!longer) return false;
  (void)headers.release();  // `longer` begins with the old list
  headers.reset(longer);
  return true;
}

// A part of a parsed URL in UTF-16 units, or -1 when libcurl cannot give it.
long part_length(CURLU* url, CURLUPart part) {
  char* text = nullptr;
  const CURLUcode code = ::curl_url_get(url, part, &text, 0);
  if (code == CURLUE_NO_QUERY) return 0;
  if (code != CURLUE_OK || !text) return -1;
  const long length = static_cast<long>(utf8_to_utf16(text).size());
  ::curl_free(text);
  return length;
}

// The same split and the same limits as WinHttpCrackUrl with buffers of 256 and 2048 units:
// an http or https URL whose host fits in 255 units and whose path (with its query) in 2047.
// The path is measured as it will be sent, dot segments included.
bool url_fits(const std::string& url, bool& secure) {
  const UrlHandle parsed(::curl_url());
  if (!parsed ||
      ::curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), CURLU_PATH_AS_IS) != CURLUE_OK) {
    return false;
  }
  char* scheme = nullptr;
  if (::curl_url_get(parsed.get(), CURLUPART_SCHEME, &scheme, 0) != CURLUE_OK || !scheme) {
    return false;
  }
  const std::string scheme_text = scheme;
  ::curl_free(scheme);
  if (scheme_text != "http" && scheme_text != "https") return false;
  secure = scheme_text == "https";
  const long host = part_length(parsed.get(), CURLUPART_HOST);
  const long path = part_length(parsed.get(), CURLUPART_PATH);
  const long query = part_length(parsed.get(), CURLUPART_QUERY);
  if (host < 1 || host > 255 || path < 0 || query < 0) return false;
  return path + (query ? query + 1 : 0) <= 2047;
}

struct Reception {
  HttpBodySink* sink;
  CURL* handle;
  std::uint64_t limit;  // for a body with status 200
  std::uint64_t received = 0;
  long long stated = -1;    // the Content-Length of the response whose headers arrive
  int status_known = 0;     // 1: the body goes to the sink, -1: it is dropped
  bool too_long = false;    // a body of any status grew beyond what it may have
  bool over_limit = false;  // ... and its status was 200
};

// The status of the response being received (after a followed redirect, the new one's).
long response_status(CURL* handle) {
  long code = 0;
  return ::curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &code) == CURLE_OK ? code : 0;
}

// Sees each header line: remembers the stated length, and at the end of the headers of a 200
// refuses a stated length beyond the limit before any of the body is read.
std::size_t receive_header(char* data, std::size_t, std::size_t count, void* context) {
  auto& reception = *static_cast<Reception*>(context);
  const std::string_view line(data, count);
  constexpr std::string_view length_name = "content-length:";
  if (line.starts_with("HTTP/")) {
    reception.stated = -1;  // a new response (a redirect's target) begins
  } else if (line.size() > length_name.size() &&
             ::strncasecmp(line.data(), length_name.data(), length_name.size()) == 0) {
    long long length = 0;
    bool digits = false;
    for (const char c : line.substr(length_name.size())) {
      if (c >= '0' && c <= '9') {
        digits = true;
        length = length > (1LL << 50) ? length : length * 10 + (c - '0');
      } else if (c != ' ' && c != '\t' && c != '\r' && c != '\n') {
        digits = false;
        break;
      }
    }
    reception.stated = digits ? length : -1;
  } else if (line == "\r\n" || line == "\n") {
    if (response_status(reception.handle) == 200 && reception.stated >= 0 &&
        static_cast<std::uint64_t>(reception.stated) > reception.limit) {
      reception.too_long = reception.over_limit = true;
      return 0;  // makes libcurl end the exchange
    }
  }
  return count;
}

// Hands what libcurl delivers to the sink (bodies of 200) or drops it (any other status),
// ending the exchange at the first byte beyond the limit.
std::size_t receive(char* data, std::size_t, std::size_t count, void* context) {
  auto& reception = *static_cast<Reception*>(context);
  if (reception.status_known == 0) {
    reception.status_known = response_status(reception.handle) == 200 ? 1 : -1;
  }
  const std::uint64_t limit = reception.status_known > 0 ? reception.limit : http_body_limit;
  if (count > limit - reception.received) {
    reception.too_long = true;
    reception.over_limit = reception.status_known > 0;
    return 0;  // makes libcurl end the exchange
  }
  reception.received += count;
  if (reception.status_known > 0 && !reception.sink->write(data, count)) return 0;
  return count;
}

}  // namespace

HttpAnswer http_exchange(const std::u16string& url, HttpBodySink& body, std::uint64_t limit) {
  HttpAnswer answer;
  const std::string address = utf16_to_utf8(url);
  bool secure = false;
  if (!url_fits(address, secure)) {
    answer.error = CURLE_URL_MALFORMAT;
    return answer;
  }
  if (!open_http_client()) {
    answer.error = CURLE_FAILED_INIT;
    return answer;
  }

  const EasyHandle request(::curl_easy_init());
  HeaderList headers;
  // "Accept:" with no value removes libcurl's default Accept header.
  if (!request || !add_header(headers, "Cache-Control: no-cache") ||
      !add_header(headers, "Accept:")) {
    answer.error = CURLE_OUT_OF_MEMORY;
    return answer;
  }
  CURL* handle = request.get();
  Reception reception{&body, handle, limit < http_body_limit ? limit : http_body_limit};
  ::curl_easy_setopt(handle, CURLOPT_SHARE, shared_client);
  ::curl_easy_setopt(handle, CURLOPT_URL, address.c_str());
  ::curl_easy_setopt(handle, CURLOPT_PATH_AS_IS, 1L);
  ::curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
  ::curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
  ::curl_easy_setopt(handle, CURLOPT_MAXREDIRS, 10L);
  ::curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
  ::curl_easy_setopt(handle, CURLOPT_USERAGENT, "CorvalisSetup/1.0");
  ::curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get());
  ::curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, connect_budget_ms);
  ::curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT,
                     static_cast<long>(http_least_bytes_per_second));
  ::curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, static_cast<long>(stall_window_seconds));
  ::curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  ::curl_easy_setopt(handle, CURLOPT_BUFFERSIZE, receive_buffer_bytes);
  // A stated length over the largest body is refused before any of the body is read, whatever
  // the status.
  ::curl_easy_setopt(handle, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(http_body_limit));
  ::curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, receive_header);
  ::curl_easy_setopt(handle, CURLOPT_HEADERDATA, &reception);
  ::curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, receive);
  ::curl_easy_setopt(handle, CURLOPT_WRITEDATA, &reception);

  const CURLcode result = ::curl_easy_perform(handle);
  const long code = response_status(handle);
  if (code > 0) answer.status = static_cast<std::uint32_t>(code);
  if (result != CURLE_OK) {
    // libcurl's own refusal of a stated length counts as over the limit too.
    answer.over_limit =
        answer.status == 200 && (reception.over_limit || result == CURLE_FILESIZE_EXCEEDED);
    answer.error = reception.too_long ? CURLE_FILESIZE_EXCEEDED : result;
    return answer;
  }
  answer.complete = true;
  return answer;
}

}  // namespace platform
