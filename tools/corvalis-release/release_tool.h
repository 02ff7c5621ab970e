#pragma once

// The publisher's side of releases: make a signing key, publish a folder as a signed release
// under a release host root, point a channel at a published release, and verify a published
// release the way the installer does.
//
// A release host root holds, for each component ("loader" or "app"):
//   <component>/<version>/release.json   {"version": ..., "files": [{"path", "size", "sha256"}]}
//   <component>/<version>/release.sig    Base64 of the Ed25519 signature of release.json
//   <component>/<version>/files/<path>   each listed file
// and the channel document naming the current version, {"version":"<version>"}:
//   loader/latest.json, app/channels/stable.json.
//
// A channel document is every user's next install: it only ever moves to a release the installer
// accepts (signed with the key it trusts, whole, and for an app release with both host plug-ins)
// and never to a lower version unless the publisher asks for a roll back.
//
// Every operation throws ToolError with a message for the publisher when it cannot do its job.

#include <array>
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

// An Ed25519 public key, 32 bytes.
using PublicKey = std::array<std::uint8_t, 32>;

// The key the installer of this build trusts (CORVALIS_RELEASE_KEY).
PublicKey installer_key();

// Why the tool refuses `version`, or empty when it takes it: the installer's own rule for a
// channel document's version text, and beyond it no empty field (".", "1..2", "1.", ".1"),
// which the installer would take but no publisher means.
std::string version_problem(std::string_view version);

// Orders two version texts field by field as numbers, an empty or missing field counting as 0:
// "1.10" is above "1.9", "1.2" equals "1.2.0". Negative, zero or positive, as a is below, equal
// to or above b.
int compare_versions(std::string_view a, std::string_view b);

// What a channel move asks beyond the installer's own checks.
struct ChannelRules {
  PublicKey trusted_key = installer_key();  // the key the installer of the users trusts
  bool allow_downgrade = false;             // a move to a lower version: a roll back
  bool partial = false;  // an app release may lack a host plug-in; users then keep theirs
};

struct PublishRequest {
  std::filesystem::path key_file;  // the private key that signs
  std::filesystem::path root;      // the release host root
  std::string component;           // "loader" or "app"
  std::string version;
  std::filesystem::path from;  // the folder whose files make the release
  bool update_channel = true;  // also write the component's channel document
  ChannelRules rules;
};

// Publishes every regular file beneath `from` (sorted by path) as one release, verifies it with
// the installer's own code and, when asked, points the channel at it. Refuses, before writing
// anything: a version or component the tool does not take; a signing key whose public half is
// not `rules.trusted_key` (naming both); a folder with no file; an app release without
// "host/Corvalis.acsrf" or "host/Corvalis_Importer.prm" unless `rules.partial`; a file path the
// installer would refuse to install (or would split differently, such as one with a
// backslash); anything in the folder that is neither a file nor a folder (named by its own
// path); a file larger than the installer downloads; a release that already exists; and, when
// the channel moves, a version below the channel's unless `rules.allow_downgrade`.
void publish_release(const PublishRequest& request);

// Points the channel document of `component` at the published release `version`, after the
// checks publish makes of a release before it moves the channel: the release verifies with
// `rules.trusted_key`, an app release has both host plug-ins unless `rules.partial`, and the
// version is not below the channel's unless `rules.allow_downgrade`. Writes nothing otherwise.
void promote_release(const std::filesystem::path& root, std::string_view component,
                     std::string_view version, const ChannelRules& rules);

// The bytes of the file at `path`. Throws ToolError("Can't read <path>").
std::string read_file(const std::filesystem::path& path);

// The signature release.sig holds for `document`, byte for byte as given: Base64 of the Ed25519
// signature by the private key in `key_file`, and a line break. Nothing in the document is
// checked, so a vendor who writes a list by other means can sign it, and the tests can sign
// lists the installer must refuse for what they say rather than for their signature.
std::string sign_document(const std::filesystem::path& key_file, std::string_view document);

// Verifies a published release with the installer's own code: the signature over release.json
// with `public_key` (a signature by another key is refused naming `public_key`, the key the
// installer was expected to trust), the "files" array, the "version", and each file's path,
// size and SHA-256. Returns the number of files.
std::size_t verify_release(const std::filesystem::path& root, std::string_view component,
                           std::string_view version, const std::uint8_t public_key[32]);

// Parses 64 hexadecimal digits into 32 bytes; false when the text is anything else.
bool parse_key_hex(std::string_view hex, std::uint8_t key[32]);
