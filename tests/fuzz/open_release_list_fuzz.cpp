// Feeds arbitrary release lists and signatures to open_release_list. The first input byte picks
// how the rest is used:
//   even: signature text, a zero byte, document text, all as given (nearly always unsigned);
//   odd:  the rest is a document, signed here with the development key (OpenSSL), its signature
//         written in one of several Base64 layouts, and with bit 7 set, one bit of the signature
//         flipped first.
// Beyond the sanitizers' checks it checks what open_release_list promises: only the two failure
// messages, a signed document never called unsigned, a damaged signature never accepted, an
// accepted list that holds the document unchanged and a "files" array.

#include <openssl/evp.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "failure.h"
#include "release/release_list.h"

namespace {

// keys/development-release-key.pem: the private seed, and its public half.
const std::uint8_t development_seed[32] = {
    0xfc, 0xad, 0xd7, 0x46, 0xb1, 0xfe, 0x1d, 0x1f, 0x46, 0x78, 0x2d, 0xd6, 0xba, 0x0e, 0x21, 0x5b,
    0xff, 0xe5, 0xd0, 0x27, 0xb8, 0x52, 0x75, 0x2a, 0xfc, 0x9d, 0x85, 0xae, 0x3e, 0x48, 0x2a, 0x59};
const std::uint8_t development_key[32] = {
    0x6d, 0xca, 0x4a, 0x72, 0x6f, 0x00, 0xbe, 0x3c, 0x8b, 0x13, 0x07, 0x44, 0x2f, 0xd0, 0x7c, 0x61,
    0x42, 0xe2, 0xb5, 0x48, 0xa7, 0x30, 0x83, 0x9d, 0x9d, 0x89, 0x32, 0x0a, 0x0a, 0x11, 0xc4, 0x4d};

const char unsigned_message[] =
    "A download from corvalisplugin.com wasn't signed by Corvalis, so nothing was installed.";
const char sense_message[] = "A release list from corvalisplugin.com didn't make sense.";

[[noreturn]] void broken(const char* what) {
  std::fprintf(stderr, "open_release_list broke a promise: %s\n", what);
  std::abort();
}

void sign(std::string_view document, std::uint8_t signature[64]) {
  EVP_PKEY* key = EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, development_seed, 32);
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  std::size_t length = 64;
  const bool signed_it =
      key != nullptr && context != nullptr &&
      EVP_DigestSignInit(context, nullptr, nullptr, nullptr, key) == 1 &&
      EVP_DigestSign(context, signature, &length,
                     reinterpret_cast<const unsigned char*>(document.data()), document.size()) == 1;
  EVP_MD_CTX_free(context);
  EVP_PKEY_free(key);
  if (!signed_it || length != 64) broken("OpenSSL could not sign (harness fault)");
}

// Base64 in the layout that `layout` picks: padded or not, one line or broken, line ends.
std::string encode(const std::uint8_t signature[64], std::uint8_t layout) {
  static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string plain;
  for (int i = 0; i < 64; i += 3) {
    const int bytes = i + 3 <= 64 ? 3 : 64 - i;
    std::uint32_t group = 0;
    for (int j = 0; j < 3; ++j) group = (group << 8) | (j < bytes ? signature[i + j] : 0);
    for (int j = 0; j <= bytes; ++j) plain += digits[(group >> (18 - 6 * j)) & 63];
  }
  if (layout & 0x02) plain += "==";
  const std::size_t line = layout & 0x40 ? 1 + (layout & 0x1F) : plain.size();
  std::string text = layout & 0x10 ? "  " : "";
  for (std::size_t at = 0; at < plain.size(); at += line) {
    if (at > 0) text += '\n';
    text += plain.substr(at, line);
  }
  if (layout & 0x04) text += layout & 0x08 ? "\r\n" : "\n";
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t mode = data[0];
  const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);

  std::string document, signature_text;
  bool signed_here = false, damaged = false;
  if ((mode & 1) == 0) {
    const std::size_t cut = rest.find('\0');
    signature_text = std::string(rest.substr(0, cut));
    document = cut == std::string_view::npos ? "" : std::string(rest.substr(cut + 1));
  } else {
    document = std::string(rest);
    std::uint8_t signature[64];
    sign(document, signature);
    signed_here = true;
    if (mode & 0x80) {
      damaged = true;
      const std::size_t bit = (size * 131 + mode) % 512;
      signature[bit / 8] ^= static_cast<std::uint8_t>(1 << (bit % 8));
    }
    signature_text = encode(signature, mode);
  }
  const std::string original = document;

  try {
    ReleaseList list =
        open_release_list(std::move(document), std::move(signature_text), development_key);
    if (damaged) broken("a damaged signature was accepted");
    if (list.document_text != original) broken("the accepted text differs from the input");
    if (!document.empty() || !signature_text.empty()) broken("the caller's texts were kept");
    if (list.document.member("files").kind != JsonKind::array) broken("no files array");
  } catch (const Failure& failure) {
    const bool is_unsigned = std::strcmp(failure.what(), unsigned_message) == 0;
    const bool is_sense = std::strcmp(failure.what(), sense_message) == 0;
    if (!is_unsigned && !is_sense) broken("another failure message");
    if (is_unsigned && signed_here && !damaged) broken("a signed document was called unsigned");
    if (is_sense && damaged) broken("a damaged signature reached the parser");
  }
  return 0;
}
