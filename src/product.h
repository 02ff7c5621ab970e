#pragma once

#include <string_view>

// Facts about the product that several subsystems state to the user.

// The release host a plain run installs from: an HTTPS origin, no path, no trailing slash.
inline constexpr std::u16string_view default_release_host = u"https://releases.corvalisplugin.com";

// The messages about what the release host serves. They name the host as users know it,
// corvalisplugin.com, whatever host --base points at.
// A document (a release list, a channel document) that is not what it must be:
inline constexpr const char* nonsense_release_list_message =
    "A release list from corvalisplugin.com didn't make sense.";
// A release list whose signature is missing, malformed or not the release key's:
inline constexpr const char* unsigned_release_list_message =
    "A download from corvalisplugin.com wasn't signed by Corvalis, so nothing was installed.";
