#include "release/download.h"

#include <algorithm>

#include "failure.h"
#include "fs/paths.h"
#include "platform/crypto.h"
#include "platform/file_system.h"
#include "platform/text.h"
#include "release/http_client.h"

namespace {

// Pieces of a copy, and of the writes of a download: large enough that system calls cost
// little (the transport hands over a few KiB at a time), small enough to stay in the cache.
constexpr std::size_t piece_bytes = 256 * 1024;

// A download on its way to disk: each piece hashed as it arrives and gathered into writes of
// the staging file.
class StagingFile final : public BodySink {
 public:
  StagingFile(const std::u16string& path, const ReceivedBytes& received)
      : path_(path), received_(received) {
    pending_.reserve(piece_bytes);
  }

  bool restart() override {
    file_.close();
    hash_.emplace();
    pending_.clear();
    length_ = 0;
    if (!file_.open(path_, platform::File::Mode::write_exclusive)) broken_ = true;
    if (received_) received_(0);
    return !broken_;
  }

  bool write(const void* data, std::size_t length) override {
    // A failed hash is remembered by the hash and reported when the digest is asked for; the
    // download itself goes on.
    (void)hash_->update(data, length);
    length_ += length;
    const auto* bytes = static_cast<const char*>(data);
    while (length > 0) {
      const std::size_t taken = std::min(length, piece_bytes - pending_.size());
      pending_.append(bytes, taken);
      bytes += taken;
      length -= taken;
      if (pending_.size() == piece_bytes && !write_pending()) return false;
    }
    if (received_) received_(length_);
    return true;
  }

  std::uint64_t length() const { return length_; }

  // Writes what is still pending and closes the file; the digest as 64 lowercase hexadecimal
  // digits.
  std::string finish() {
    if (!write_pending()) throw Failure(download_not_saved_message);
    file_.close();
    std::uint8_t digest[32];
    if (!hash_->finish(digest)) throw Failure(hash_failure_message);
    return lowercase_hex(digest, sizeof digest);
  }

  void close() { file_.close(); }

 private:
  bool write_pending() {
    if (!pending_.empty() && !file_.write(pending_.data(), pending_.size())) broken_ = true;
    pending_.clear();
    return !broken_;
  }

  const std::u16string& path_;
  const ReceivedBytes& received_;
  platform::File file_;
  std::optional<platform::Sha256> hash_;
  std::string pending_;
  std::uint64_t length_ = 0;
};

}  // namespace

void download_release_file(const std::u16string& release_base, const JsonValue& entry,
                           const std::u16string& staging, const ReceivedBytes& received) {
  const std::string encoded_path = percent_encode_path(entry.member("path").text);
  const std::u16string url = release_base + u"/files/" + platform::utf8_to_utf16(encoded_path);
  // A size that matches no real length still fetches the file (and finds it damaged): with a
  // limit of 0 no byte of it is kept.
  const std::optional<std::uint64_t> size = expected_file_size(entry.member("size").number);
  StagingFile file(staging, received);
  try {
    // The length first: a file of the wrong length is damaged whatever its digest.
    if (!http_get(url, file, size.value_or(0)) || !size || file.length() != *size ||
        file.finish() != entry.member("sha256").text) {
      throw Failure(damaged_download_message);
    }
  } catch (...) {
    file.close();
    (void)platform::delete_file(staging);
    throw;
  }
}

std::uint64_t listed_file_size(const JsonValue& entry) {
  return expected_file_size(entry.member("size").number).value_or(0);
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
    throw Failure(hash_failure_message);
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
