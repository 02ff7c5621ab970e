#include "release/download.h"

#include "failure.h"
#include "fs/paths.h"
#include "platform/platform.h"
#include "release/http_client.h"

std::string download_release_file(const std::u16string& release_base, const JsonValue& entry) {
  const std::string encoded_path = percent_encode_path(entry.member("path").text);
  std::string bytes = http_get(release_base + u"/files/" + platform::utf8_to_utf16(encoded_path));
  const std::optional<std::uint64_t> size = expected_file_size(entry.member("size").number);
  // The length first: a file of the wrong length is damaged whatever its digest, and a
  // damaged file is not worth hashing.
  if (!size || *size != bytes.size() || sha256_hex(bytes) != entry.member("sha256").text) {
    throw Failure(damaged_download_message);
  }
  return bytes;
}

std::string percent_encode_path(std::string_view path) {
  static constexpr char digits[] = "0123456789ABCDEF";
  std::string encoded;
  encoded.reserve(path.size());
  for (const char c : path) {
    const auto byte = static_cast<unsigned char>(c);
    const bool kept = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
                      (byte >= '0' && byte <= '9') || byte == '/' || byte == '-' || byte == '_' ||
                      byte == '.' || byte == '~';
    if (kept) {
      encoded += c;
    } else {
      encoded += '%';
      encoded += digits[byte >> 4];
      encoded += digits[byte & 0x0F];
    }
  }
  return encoded;
}

std::string lowercase_hex(const std::uint8_t* bytes, std::size_t length) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string text(2 * length, '0');
  for (std::size_t i = 0; i < length; ++i) {
    text[2 * i] = digits[bytes[i] >> 4];
    text[2 * i + 1] = digits[bytes[i] & 0x0F];
  }
  return text;
}

std::string sha256_hex(std::string_view bytes) {
  std::uint8_t digest[32];
  if (!platform::sha256(bytes.data(), bytes.size(), digest)) {
    throw Failure("Windows couldn't check a download.");
  }
  return lowercase_hex(digest, sizeof digest);
}

std::optional<std::uint64_t> expected_file_size(double size) {
  // Both comparisons are false for NaN. Inside (-1, 2^64) the truncated value fits, so the
  // conversion below is defined (between -1 and 0 it truncates to 0).
  constexpr double two_to_the_64 = 18446744073709551616.0;
  if (!(size > -1.0) || !(size < two_to_the_64)) return std::nullopt;
  return static_cast<std::uint64_t>(size);
}
