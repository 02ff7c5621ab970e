#pragma once

// Channel documents: the small JSON documents on the release host that name the current version
// of a component ("/loader/latest.json", "/app/channels/stable.json").

#include <string>
#include <string_view>

// True for a version text the installer takes from a channel document: not empty, and made only
// of "0123456789.".
bool is_version_text(std::string_view text);

// Fetches `base` (the release host) + `channel_path` and returns its "version" text: not empty, and
// made only of "0123456789.". Throws the release-list message when the document breaks that rule or
// is not JSON, and the download messages when it cannot be fetched.
std::string fetch_channel_version(std::u16string_view base, std::u16string_view channel_path);
