#include "release/http_client.h"

#include <utility>

#include "failure.h"
#include "fs/paths.h"
#include "log/setup_log.h"
#include "platform/http.h"
#include "platform/process.h"
#include "platform/text.h"

std::string http_get(const std::u16string& url) {
  TextSink body;
  (void)http_get(url, body, platform::http_body_limit);
  return std::move(body.text);
}

bool http_get(const std::u16string& url, BodySink& sink, std::uint64_t limit) {
  // Without the client no request can even start: asking again will not help.
  if (!platform::open_http_client()) throw Failure("Windows couldn't start a download.");
  const bool limited = limit < platform::http_body_limit;
  std::uint32_t pause_ms = 1000;
  for (;;) {
    if (!sink.restart()) throw Failure(download_not_saved_message);
    const platform::HttpAnswer answer = platform::http_exchange(url, sink, limit);
    if (sink.broken()) throw Failure(download_not_saved_message);
    if (answer.complete && answer.status == 200) return true;
    if (answer.over_limit && limited) return false;
    log_line("GET " + platform::utf16_to_utf8(url) + " failed (status " +
             std::to_string(answer.status) + ", error " + std::to_string(answer.error) + ")");
    // The host says the file is not there; asking again will not change its mind.
    if (answer.status == 404) break;
    platform::pause(pause_ms);
    pause_ms += 1000;
    if (pause_ms >= 4000) break;
  }
  throw Failure(download_failure_message);
}
