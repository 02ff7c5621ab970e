#pragma once

// The files of a verified release: each fetched from the release's "files" folder into a
// staging file as it arrives, hashed on the way, and accepted only when its length and SHA-256
// digest are exactly what the signed list says. No file is ever whole in memory.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "json/json.h"

inline constexpr const char* damaged_download_message =
    "A download arrived damaged. Run Setup again.";

// Told how many bytes of a file the current attempt at its download has received. Called from
// inside the transport's receive loop, so it must not throw.
using ReceivedBytes = std::function<void(std::uint64_t received)>;

// Downloads the file of one "files" entry of a verified release list from
// release base + "/files/" + the entry's percent-encoded "path" into the file `staging`
// (created, or emptied, for each attempt), reading no byte beyond the listed size. The entry's
// members are read without kind tests ("path" and "sha256" as text, "size" as a number), so a
// missing member reads as empty text or 0. Throws the download failures of http_get;
// Failure(damaged_download_message) when the body is longer than "size" (at the first byte
// beyond, or at once when its stated length says so), shorter, or its lowercase hexadecimal
// SHA-256 differs from "sha256" byte for byte; and Failure("Windows couldn't check a
// download.") when the platform's hash fails. Nothing is retried here. On success `staging`
// holds exactly the verified bytes; on failure it is deleted. `received`, when given, is told
// after each piece how many bytes the current attempt has received (0 when an attempt starts).
void download_release_file(const std::u16string& release_base, const JsonValue& entry,
                           const std::u16string& staging, const ReceivedBytes& received = {});

// The length an entry's "size" promises (see expected_file_size), 0 when it promises none: the
// bytes a download of the entry is expected to bring, for showing progress.
std::uint64_t listed_file_size(const JsonValue& entry);

// Every byte outside A-Z, a-z, 0-9 and "/-_.~" becomes "%" and two upper-case hexadecimal
// digits; the slash stays, so the path's folders become folders of the URL. Never fails.
std::string percent_encode_path(std::string_view path);

// `length` bytes as lowercase hexadecimal digits, two per byte: the form of the digests in
// release lists and of the release key. Never fails.
std::string lowercase_hex(const std::uint8_t* bytes, std::size_t length);

inline constexpr const char* hash_failure_message = "Windows couldn't check a download.";

// The SHA-256 digest of `bytes` as 64 lowercase hexadecimal digits.
// Throws Failure(hash_failure_message) when the platform's hash fails.
std::string sha256_hex(std::string_view bytes);

// The length a "size" number promises: the number truncated toward zero (so 10.7 means 10 and
// anything between -1 and 0 means 0). No length at all for NaN, -1 or below, or 2^64 or above:
// such a size never matches a real file.
std::optional<std::uint64_t> expected_file_size(double size);
