#pragma once

// The public half of the release signing key: the one key whose signatures make a release list
// genuine. It is fixed when the build is configured (CORVALIS_RELEASE_KEY) and is never read
// from a file or a setting.

#include <cstdint>

extern const std::uint8_t release_signing_key[32];

// True when the build trusts the development key, whose private half is public. Such a build
// is for development and tests only.
extern const bool release_key_is_development;
