// Windows: the registry, through advapi32 (a KnownDLL), always in the 64-bit view.

#include <windows.h>

#include <algorithm>
#include <vector>

#include "platform/registry.h"
#include "platform/support_win.h"

namespace platform {

namespace {

struct RegistryKeyTraits {
  using Handle = HKEY;
  static bool is_valid(Handle handle) { return handle != nullptr; }
  static void close(Handle handle) { ::RegCloseKey(handle); }
};
using OpenKey = ScopedHandle<RegistryKeyTraits>;

// Installed programs are listed in the 64-bit view; a 32-bit program would otherwise be sent to
// WOW6432Node.
constexpr REGSAM view = KEY_WOW64_64KEY;

bool failed(LSTATUS status, std::uint32_t& error) {
  error = static_cast<std::uint32_t>(status);
  return status != ERROR_SUCCESS;
}

}  // namespace

bool write_registry_values(const RegistryKey& key, const std::vector<RegistryValue>& values,
                           std::uint32_t& error) {
  HKEY opened = nullptr;
  if (failed(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, wide(key.path), 0, nullptr, 0,
                               KEY_SET_VALUE | view, nullptr, &opened, nullptr),
             error)) {
    return false;
  }
  const OpenKey owner(opened);
  for (const RegistryValue& value : values) {
    const DWORD number = value.number.value_or(0);
    const BYTE* data = value.number ? reinterpret_cast<const BYTE*>(&number)
                                    : reinterpret_cast<const BYTE*>(value.text.c_str());
    const DWORD size = value.number ? sizeof number
                                    : static_cast<DWORD>((value.text.size() + 1) * sizeof(wchar_t));
    if (failed(::RegSetValueExW(owner.get(), wide(value.name), 0, value.number ? REG_DWORD : REG_SZ,
                                data, size),
               error)) {
      return false;
    }
  }
  return true;
}

bool read_registry_values(const RegistryKey& key, std::vector<RegistryValue>& values,
                          std::uint32_t& error) {
  values.clear();
  HKEY opened = nullptr;
  if (failed(
          ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, wide(key.path), 0, KEY_QUERY_VALUE | view, &opened),
          error)) {
    return false;
  }
  const OpenKey owner(opened);
  DWORD count = 0, longest_name = 0, longest_data = 0;
  if (failed(::RegQueryInfoKeyW(owner.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                &count, &longest_name, &longest_data, nullptr, nullptr),
             error)) {
    return false;
  }
  std::vector<wchar_t> name(longest_name + 1);
  std::vector<BYTE> data(longest_data + sizeof(wchar_t));
  for (DWORD index = 0; index < count; ++index) {
    DWORD name_length = static_cast<DWORD>(name.size());
    DWORD data_size = static_cast<DWORD>(data.size() - sizeof(wchar_t));
    DWORD type = 0;
    if (failed(::RegEnumValueW(owner.get(), index, name.data(), &name_length, nullptr, &type,
                               data.data(), &data_size),
               error)) {
      return false;
    }
    RegistryValue value;
    value.name.assign(reinterpret_cast<const char16_t*>(name.data()), name_length);
    if (type == REG_DWORD && data_size == sizeof(DWORD)) {
      DWORD number = 0;
      std::copy_n(data.data(), sizeof number, reinterpret_cast<BYTE*>(&number));
      value.number = number;
    } else if (type == REG_SZ || type == REG_EXPAND_SZ) {
      std::u16string text(data_size / sizeof(char16_t), u'\0');
      std::copy_n(data.data(), text.size() * sizeof(char16_t),
                  reinterpret_cast<BYTE*>(text.data()));
      while (!text.empty() && text.back() == u'\0') text.pop_back();
      value.text = std::move(text);
    } else {
      continue;  // a kind of value this layer does not speak
    }
    values.push_back(std::move(value));
  }
  error = 0;
  return true;
}

bool delete_registry_key(const RegistryKey& key, bool& existed, std::uint32_t& error) {
  existed = false;
  HKEY opened = nullptr;
  const LSTATUS status = ::RegOpenKeyExW(
      HKEY_LOCAL_MACHINE, wide(key.path), 0,
      DELETE | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | KEY_SET_VALUE | view, &opened);
  if (status == ERROR_FILE_NOT_FOUND) {
    error = 0;
    return true;
  }
  if (failed(status, error)) return false;
  existed = true;
  {
    const OpenKey owner(opened);
    if (failed(::RegDeleteTreeW(owner.get(), nullptr), error)) return false;
  }
  return !failed(::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, wide(key.path), view, 0), error);
}

}  // namespace platform
