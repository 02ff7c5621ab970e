// A program that imports kernel32 alone (bare-program-user32: user32 too, a KnownDLL), for the
// planted-DLL test. It restricts its DLL search to System32 as Corvalis Setup's entry does,
// loads WinHTTP from System32 and opens and closes one request as the program does, and ends.
// A planted DLL beside it that still runs was loaded by the system's DLLs on their own: Wine
// resolves its own DLLs' imports through the program's folder, where Windows keeps to System32
// (and to KnownDLLs for a KnownDLL's imports). No C runtime: the entry is `start`.
// A test program, never shipped.

#include <windows.h>

typedef void*(WINAPI* Open)(const wchar_t*, DWORD, const wchar_t*, const wchar_t*, DWORD);
typedef void*(WINAPI* Connect)(void*, const wchar_t*, WORD, DWORD);
typedef void*(WINAPI* OpenRequest)(void*, const wchar_t*, const wchar_t*, const wchar_t*,
                                   const wchar_t*, const wchar_t**, DWORD);
typedef BOOL(WINAPI* CloseHandle_)(void*);

#ifdef IMPORT_USER32
// Imported, never called.
void* volatile user32_function = (void*)&GetSystemMetrics;
#endif

static void (*find(HMODULE library, const char* name))(void) {
  return (void (*)(void))GetProcAddress(library, name);
}

void start(void) {
  SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  const HMODULE winhttp = LoadLibraryExW(L"winhttp.dll", NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
  const Open open = (Open)find(winhttp, "WinHttpOpen");
  const Connect connect = (Connect)find(winhttp, "WinHttpConnect");
  const OpenRequest open_request = (OpenRequest)find(winhttp, "WinHttpOpenRequest");
  const CloseHandle_ close = (CloseHandle_)find(winhttp, "WinHttpCloseHandle");
  if (open && connect && open_request && close) {
    void* const session = open(L"bare-program", 0, NULL, NULL, 0);
    void* const connection = session ? connect(session, L"127.0.0.1", 9, 0) : NULL;
    void* const request =
        connection ? open_request(connection, L"GET", L"/", NULL, NULL, NULL, 0) : NULL;
    if (request) close(request);
    if (connection) close(connection);
    if (session) close(session);
  }
  ExitProcess(0);
}
