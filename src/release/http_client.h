#pragma once

// The installer's one way to the release host: a plain GET that insists on status 200, tries
// a URL up to three times, logs every failed attempt and returns the whole body in memory.

#include <string>

// The message of every failed fetch.
inline constexpr const char* download_failure_message =
    "Couldn't download Corvalis. Check your internet connection and run Setup again.";

// The body of `url` (absolute, http or https) answered with status 200, bytes exactly as
// received. A failed attempt (transport failure, body over the limit, any status but 200) is
// logged as "GET <url> failed (status S, error E)" and retried after a pause of 1 s, then 2 s;
// after the third failure and a pause of 3 s it throws Failure(download_failure_message).
// A 404 throws at once, without a pause. When the shared client cannot be opened it throws
// Failure("Windows couldn't start a download.") without logging or retrying.
std::string http_get(const std::u16string& url);
