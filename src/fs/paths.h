#pragma once

// Paths and text: joining path pieces, the user's known folders, the safe join of a path taken
// from a release list, and the small text helpers of names. (Text converts to native paths with
// platform::utf8_to_utf16.)

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "platform/text.h"
#include "platform/users.h"

// base + separator + part, unless base is empty or already ends in the separator. Only the
// platform's separator counts (on Windows a base ending in '/' still gets a backslash).
std::u16string join_path(std::u16string_view base, std::u16string_view part);

// `path` without its trailing separator, unless the separator is all of a root ("/", "C:\"):
// a folder as the temporary-folder calls give it ("C:\Temp\"), in the form that opens it.
std::u16string without_trailing_separator(std::u16string_view path);

// The folder that holds `path` and the name of `path` in it: "/a/b" gives "/a" and "b"; a root
// keeps its separator ("/b" gives "/", "C:\b" gives "C:\"), since "" and "C:" name no folder
// of their own; a bare name is in the current folder ".".
std::pair<std::u16string, std::u16string> folder_and_name(std::u16string_view path);

// The folder's path as the platform gives it, never empty.
// Throws Failure("Windows didn't say where this user's folders are.").
std::u16string known_folder_path(const platform::KnownFolderId& folder);

// `release_path` (UTF-8, '/' or '\\' between segments) joined segment by segment under `root`.
// Refused, with the empty path as the result, when it is empty, starts with a separator,
// contains a colon or a NUL byte, or has a segment that is empty, "." or "..". Never throws.
std::u16string join_release_path(std::u16string_view root, std::string_view release_path);

// `value` in decimal digits, without leading zeros ("0" for zero). Never fails.
std::u16string decimal(std::uint64_t value);

// True when `text` is what `decimal` could have written, leading zeros allowed: one to twenty
// digits.
bool is_decimal(std::u16string_view text);

// True when `a` and `b` are equal once ASCII letters are folded to lower case; every other unit
// is compared as it is. Never fails.
bool equal_ignoring_ascii_case(std::u16string_view a, std::u16string_view b);
