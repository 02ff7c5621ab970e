#include "install/channel.h"

#include "failure.h"
#include "json/json.h"
#include "product.h"
#include "release/http_client.h"

namespace {

// Nothing signs a channel document, so nothing vouches for its size either: a genuine one is a
// few dozen bytes, and anything beyond this is refused before it is read, let alone parsed.
constexpr std::size_t channel_document_limit = 64 * 1024;

}  // namespace

bool is_version_text(std::string_view text) {
  return !text.empty() && text.find_first_not_of("0123456789.") == std::string_view::npos;
}

std::string fetch_channel_version(std::u16string_view base, std::u16string_view channel_path) {
  TextSink body;
  if (!http_get(std::u16string(base) + std::u16string(channel_path), body,
                channel_document_limit)) {
    throw Failure(nonsense_release_list_message);
  }
  const JsonValue document = parse_json(body.text);
  // A missing or non-string "version" reads as empty text and fails here like a bad one.
  std::string version = document.member("version").text;
  if (!is_version_text(version)) {
    throw Failure(nonsense_release_list_message);
  }
  return version;
}
