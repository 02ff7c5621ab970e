#pragma once

// Fetching one release's signed list from the release host.

#include <cstdint>
#include <string>

#include "release/release_list.h"

// Fetches release base + "/release.sig", then release base + "/release.json" (both with
// http_get), and opens them with open_release_list against the release signing key.
// `release_base` is the release's URL prefix without a trailing slash. The signature comes
// first, so a release without one ends the operation before its list is even requested.
// Throws the download failures of http_get and the failures of open_release_list.
ReleaseList fetch_release_list(const std::u16string& release_base);

// The same against another public key (32 bytes): for tests.
ReleaseList fetch_release_list(const std::u16string& release_base,
                               const std::uint8_t public_key[32]);
