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
//   operation; the nearest is its stall guard: less than one byte a second for 60 s ends the
//   exchange. The request is a few hundred bytes sent in one write, so the same guard covers
//   the 30 s a stuck send would get on Windows.
// - Redirects are followed as WinHTTP does by default: at most 10, never from https to http.
// - No Accept or Accept-Encoding header, as WinHTTP sends none: the body arrives as served.
// - The path goes out as built, dot segments and all, as WinHTTP sends it. libcurl would
//   otherwise remove "." and ".." segments, and a release of version "." would be asked for
//   at another URL than the Windows build asks.

#include <curl/curl.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <memory>

#include "platform/platform.h"

namespace platform {

namespace {

constexpr long connect_budget_ms = 15'000 + 15'000;  // name resolution + connect
constexpr long stall_seconds = 60;
constexpr long receive_buffer_bytes = 64 * 1024;  // fits the L2 cache it is copied from

// The process-wide client, made by the first exchange and never released: like WinHTTP's
// session handle it lives until the process ends.
CURLSH* shared_client = nullptr;

}  // namespace

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

// Asks for the body's storage in huge pages where the kernel offers them on request: a large
// body then costs a few hundred page faults instead of one per 4 KiB, which on virtual machines
// takes longer than the transfer itself. Only a hint; refusal changes nothing.
void prefer_huge_pages(void* data, std::size_t length) {
  constexpr std::uintptr_t huge_page = 2 * 1024 * 1024;
  const auto start = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t first = (start + huge_page - 1) & ~(huge_page - 1);
  const std::uintptr_t end = (start + length) & ~(huge_page - 1);
  if (end > first) ::madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
}

struct Reception {
  std::string* body;
  CURL* handle;
  bool reserved = false;
  bool over_limit = false;
};

// Appends what libcurl delivers to the body, the one copy the bytes make on their way in.
// The first delivery reserves the stated length, so a body of known size never moves; a body
// of unknown size grows by doubling, each new storage in huge pages where possible.
std::size_t receive(char* data, std::size_t, std::size_t count, void* context) {
  auto& reception = *static_cast<Reception*>(context);
  std::string& body = *reception.body;
  if (count > http_body_limit - body.size()) {
    reception.over_limit = true;
    return 0;  // makes libcurl end the exchange
  }
  if (!reception.reserved) {
    reception.reserved = true;
    curl_off_t stated = -1;
    if (::curl_easy_getinfo(reception.handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &stated) ==
            CURLE_OK &&
        stated > 0 && static_cast<std::uint64_t>(stated) <= http_body_limit) {
      body.reserve(static_cast<std::size_t>(stated));
      prefer_huge_pages(body.data(), body.capacity());
    }
  }
  if (count > body.capacity() - body.size()) {
    // The new storage gets its advice before the old bytes move in, so the move itself
    // already lands in huge pages.
    std::string larger;
    larger.reserve(std::min(http_body_limit, std::max(2 * body.capacity(), body.size() + count)));
    prefer_huge_pages(larger.data(), larger.capacity());
    larger.append(body);
    body.swap(larger);
  }
  body.append(data, count);
  return count;
}

}  // namespace

bool http_exchange(const std::u16string& url, std::string& body, std::uint32_t& status,
                   std::uint32_t& error) {
  body.clear();
  status = 0;
  error = 0;
  const std::string address = utf16_to_utf8(url);
  bool secure = false;
  if (!url_fits(address, secure)) {
    error = CURLE_URL_MALFORMAT;
    return false;
  }
  if (!open_http_client()) {
    error = CURLE_FAILED_INIT;
    return false;
  }

  const EasyHandle request(::curl_easy_init());
  HeaderList headers;
  // "Accept:" with no value removes libcurl's default Accept header.
  if (!request || !add_header(headers, "Cache-Control: no-cache") ||
      !add_header(headers, "Accept:")) {
    error = CURLE_OUT_OF_MEMORY;
    return false;
  }
  CURL* handle = request.get();
  Reception reception{&body, handle};
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
  ::curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L);
  ::curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, stall_seconds);
  ::curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  ::curl_easy_setopt(handle, CURLOPT_BUFFERSIZE, receive_buffer_bytes);
  // A stated length over the limit is refused before any of the body is read.
  ::curl_easy_setopt(handle, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(http_body_limit));
  ::curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, receive);
  ::curl_easy_setopt(handle, CURLOPT_WRITEDATA, &reception);

  const CURLcode result = ::curl_easy_perform(handle);
  long code = 0;
  if (::curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &code) == CURLE_OK && code > 0) {
    status = static_cast<std::uint32_t>(code);
  }
  if (result != CURLE_OK) {
    error = reception.over_limit ? CURLE_FILESIZE_EXCEEDED : result;
    return false;
  }
  return true;
}

}  // namespace platform
