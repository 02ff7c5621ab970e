#pragma once

#include <string_view>

// Facts about the product that several subsystems state to the user.

// The release host a plain run installs from: an HTTPS origin, no path, no trailing slash.
inline constexpr std::u16string_view default_release_host = u"https://releases.corvalisplugin.com";

// The name under which users know that host. It stands in the messages about release lists
// ("A release list from ... didn't make sense.") whatever host --base points at.
inline constexpr std::string_view release_host_name = "corvalisplugin.com";
