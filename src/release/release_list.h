#pragma once

// Signed release lists: release.json, proven genuine by release.sig before anything reads it.
//
// The signature is an Ed25519 signature (R then S) over the exact bytes of release.json as
// served, written in Base64. Bytes that the release signing key did not sign are never parsed,
// so a tampered or unsigned list always gets the unsigned message, never the one about sense.

#include <cstdint>
#include <string>
#include <string_view>

#include "json/json.h"

// One verified release list. Moved, never copied.
struct ReleaseList {
  std::string document_text;   // release.json exactly as received and verified
  std::string signature_text;  // release.sig exactly as received (the Base64 text)
  JsonValue document;          // the parsed list; its "files" member is an Array
};

// Verifies `signature_text` over `document_text` with the release signing key, then parses the
// document and requires a "files" array. Takes both texts over: once the signature has passed,
// the caller's strings are left empty. Throws Failure with
//   "A download from corvalisplugin.com wasn't signed by Corvalis, so nothing was installed."
// when the signature does not decode to 64 bytes or does not verify, and with
//   "A release list from corvalisplugin.com didn't make sense."
// when the signed document is not JSON or has no "files" array. No partial result escapes.
ReleaseList open_release_list(std::string&& document_text, std::string&& signature_text);

// The same with another public key (32 bytes): for the publisher's tool and for tests.
ReleaseList open_release_list(std::string&& document_text, std::string&& signature_text,
                              const std::uint8_t public_key[32]);

// Decodes standard Base64 (A-Z, a-z, 0-9, '+', '/') and skips every other byte, so padding,
// spaces and line breaks are allowed anywhere. The URL-safe '-' and '_' are skipped too: text in
// that alphabet decodes to fewer bytes and its signature is refused by length. Bits left over at
// the end are dropped. Never fails.
std::string base64_decode_lenient(std::string_view text);
