#include "release/release_list.h"

#include <utility>

#include "failure.h"
#include "product.h"
#include "release/ed25519/ed25519.h"
#include "release/release_key.h"

namespace {

[[noreturn]] void fail_unsigned() {
  throw Failure(unsigned_release_list_message);
}

// The value of a standard Base64 digit, or -1 for any other byte.
int base64_value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

std::string base64_decode_lenient(std::string_view text) {
  std::string out;
  std::uint32_t buffer = 0;
  int bits = 0;
  for (const char c : text) {
    const int value = base64_value(static_cast<unsigned char>(c));
    if (value < 0) continue;
    // Only the low `bits` + 6 bits matter; older ones have already gone out as bytes.
    buffer = (buffer << 6) | static_cast<std::uint32_t>(value);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<char>((buffer >> bits) & 0xFF));
    }
  }
  return out;
}

ReleaseList open_release_list(std::string&& document_text, std::string&& signature_text) {
  return open_release_list(std::move(document_text), std::move(signature_text),
                           release_signing_key);
}

ReleaseList open_release_list(std::string&& document_text, std::string&& signature_text,
                              const std::uint8_t public_key[32]) {
  const std::string signature = base64_decode_lenient(signature_text);
  if (signature.size() != 64) fail_unsigned();
  // Every byte counts, whitespace included: what was signed is the document as served.
  if (!ed25519_verify(reinterpret_cast<const std::uint8_t*>(signature.data()),
                      reinterpret_cast<const std::uint8_t*>(document_text.data()),
                      document_text.size(), public_key)) {
    fail_unsigned();
  }

  ReleaseList list;
  list.document_text = std::move(document_text);
  list.signature_text = std::move(signature_text);
  document_text.clear();  // a moved-from string is only valid; the caller is promised empty
  signature_text.clear();
  list.document = parse_json(list.document_text);  // fails with the message about sense
  if (list.document.member("files").kind != JsonKind::array)
    throw Failure(nonsense_release_list_message);
  return list;
}
