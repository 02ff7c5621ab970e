#pragma once

// The publisher's side of releases: make a signing key, publish a folder as a signed release
// under a release host root, and verify a published release the way the installer does.
//
// A release host root holds, for each component ("loader" or "app"):
//   <component>/<version>/release.json   {"version": ..., "files": [{"path", "size", "sha256"}]}
//   <component>/<version>/release.sig    Base64 of the Ed25519 signature of release.json
//   <component>/<version>/files/<path>   each listed file
// and the channel document naming the current version, {"version":"<version>"}:
//   loader/latest.json, app/channels/stable.json.
//
// Every operation throws ToolError with a message for the publisher when it cannot do its job.

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

struct ToolError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Writes a new Ed25519 private key to `key_file` (PKCS#8 PEM, readable by its owner only; an
// existing file is never overwritten) and returns its public half as 64 hexadecimal digits.
std::string generate_key(const std::filesystem::path& key_file);

// The public half of the private key in `key_file`, as 64 hexadecimal digits.
std::string public_key_hex(const std::filesystem::path& key_file);

// A version the installer accepts from a channel document: not empty, only "0123456789.".
bool version_text_allowed(std::string_view version);

struct PublishRequest {
  std::filesystem::path key_file;  // the private key that signs
  std::filesystem::path root;      // the release host root
  std::string component;           // "loader" or "app"
  std::string version;
  std::filesystem::path from;  // the folder whose files make the release
  bool update_channel = true;  // also write the component's channel document
};

// Publishes every regular file beneath `from` (sorted by path) as one release. Refuses, before
// writing anything, a version or component the installer would not accept, a file path the
// installer would refuse to install (or would split differently, such as one with a
// backslash), anything in the folder that is neither a file nor a folder, a file larger than
// the installer downloads, and a release that already exists.
void publish_release(const PublishRequest& request);

// The signature release.sig holds for `document`, byte for byte as given: Base64 of the Ed25519
// signature by the private key in `key_file`, and a line break. Nothing in the document is
// checked, so a vendor who writes a list by other means can sign it, and the tests can sign
// lists the installer must refuse for what they say rather than for their signature.
std::string sign_document(const std::filesystem::path& key_file, std::string_view document);

// Verifies a published release with the installer's own code: the signature over release.json
// with `public_key` (the built-in release key unless given), the "files" array, the "version",
// and each file's path, size and SHA-256. Returns the number of files.
std::size_t verify_release(const std::filesystem::path& root, std::string_view component,
                           std::string_view version, const std::uint8_t public_key[32]);

// Parses 64 hexadecimal digits into 32 bytes; false when the text is anything else.
bool parse_key_hex(std::string_view hex, std::uint8_t key[32]);
