// A DLL that stands in for one an attacker leaves beside the program in Downloads: the test
// copies it under the names of system DLLs. Loaded anywhere, it writes an empty marker file
// beside itself, named after itself plus ".loaded" (winhttp.dll.loaded), and does nothing else.
// A test program, never shipped.

#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved) {
  (void)reserved;
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  wchar_t marker[MAX_PATH + 8];
  const DWORD length = GetModuleFileNameW(self, marker, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return TRUE;
  lstrcpyW(marker + length, L".loaded");
  HANDLE file =
      CreateFileW(marker, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  return TRUE;
}
