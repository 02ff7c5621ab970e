#include "release/fetch_release_list.h"

#include "release/http_client.h"
#include "release/release_key.h"

ReleaseList fetch_release_list(const std::u16string& release_base) {
  return fetch_release_list(release_base, release_signing_key);
}

ReleaseList fetch_release_list(const std::u16string& release_base,
                               const std::uint8_t public_key[32]) {
  std::string signature_text = http_get(release_base + u"/release.sig");
  std::string document_text = http_get(release_base + u"/release.json");
  return open_release_list(std::move(document_text), std::move(signature_text), public_key);
}
