#include "release/http_client.h"

#include "failure.h"
#include "fs/paths.h"
#include "log/setup_log.h"
#include "platform/platform.h"

std::string http_get(const std::u16string& url) {
  // Without the client no request can even start: asking again will not help.
  if (!platform::open_http_client()) throw Failure("Windows couldn't start a download.");
  // One body for every attempt: a retry reuses the storage the failed attempt reserved.
  std::string body;
  std::uint32_t pause_ms = 1000;
  for (;;) {
    std::uint32_t status = 0;
    std::uint32_t error = 0;
    if (platform::http_exchange(url, body, status, error) && status == 200) return body;
    log_line("GET " + platform::utf16_to_utf8(url) + " failed (status " + std::to_string(status) +
             ", error " + std::to_string(error) + ")");
    // The host says the file is not there; asking again will not change its mind.
    if (status == 404) break;
    platform::pause(pause_ms);
    pause_ms += 1000;
    if (pause_ms >= 4000) break;
  }
  throw Failure(download_failure_message);
}
