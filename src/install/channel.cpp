#include "install/channel.h"

#include "failure.h"
#include "json/json.h"
#include "product.h"
#include "release/http_client.h"

std::string fetch_channel_version(std::u16string_view base, std::u16string_view channel_path) {
  const std::string body = http_get(std::u16string(base) + std::u16string(channel_path));
  const JsonValue document = parse_json(body);
  // A missing or non-string "version" reads as empty text and fails here like a bad one.
  std::string version = document.member("version").text;
  if (version.empty() || version.find_first_not_of("0123456789.") != std::string::npos) {
    throw Failure(nonsense_release_list_message);
  }
  return version;
}
