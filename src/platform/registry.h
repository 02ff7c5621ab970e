#pragma once

// The platform layer's registry: keys under HKEY_LOCAL_MACHINE, always in the 64-bit view
// (KEY_WOW64_64KEY), where Windows lists installed programs. POSIX has no registry; there each
// key is a small text file that the caller names, one "name<TAB>type<TAB>value" line per value,
// written whole.
//
// Native paths are UTF-16 (see platform/text.h). Every call answers false on failure, with the
// system's code in `error` (a registry call's status; POSIX errno).

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform {

struct RegistryKey {
  std::u16string path;      // below HKEY_LOCAL_MACHINE, names separated by backslashes
  std::u16string stand_in;  // POSIX: the file that holds the key's values
};

struct RegistryValue {
  std::u16string name;
  std::u16string text;                  // REG_SZ, unless `number` is set
  std::optional<std::uint32_t> number;  // REG_DWORD
  friend bool operator==(const RegistryValue&, const RegistryValue&) = default;
};

// Creates the key, with parents that are missing (RegCreateKeyExW), and sets every value
// (RegSetValueExW), replacing values of the same names; other values of the key stay. POSIX: the
// file is written beside its place and renamed over it; its folder must exist.
bool write_registry_values(const RegistryKey& key, const std::vector<RegistryValue>& values,
                           std::uint32_t& error);

// Every value of the key that is a string or a number, in the order the platform lists them
// (RegEnumValueW). False with ERROR_FILE_NOT_FOUND (POSIX ENOENT) when the key is missing.
bool read_registry_values(const RegistryKey& key, std::vector<RegistryValue>& values,
                          std::uint32_t& error);

// Deletes the key with its values and subkeys (RegDeleteTreeW, then RegDeleteKeyExW). True when
// the key is gone, also when it never was; `existed` says which.
bool delete_registry_key(const RegistryKey& key, bool& existed, std::uint32_t& error);

}  // namespace platform
