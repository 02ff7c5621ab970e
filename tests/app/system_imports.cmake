# The Windows program must start on a bare Windows and load nothing from its own folder, which is
# usually Downloads: Windows looks for an imported DLL there first unless the DLL is on the
# KnownDLLs list (and resolves a KnownDLL's own imports among KnownDLLs). So it imports only
# KnownDLLs; everything else (WinHTTP, BCrypt, comctl32) is loaded at run time, after the entry
# has restricted the search to System32, comctl32 version 6 through the manifest. A
# runtime linked dynamically by mistake (libstdc++-6.dll, libwinpthread-1.dll,
# libgcc_s_seh-1.dll) or a system DLL outside that list fails here, as does a program that no
# longer restricts the search of the DLLs it loads at run time.
#   cmake -DPROGRAM=<exe> -DOBJDUMP=<objdump> -P system_imports.cmake
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND "${OBJDUMP}" -p "${PROGRAM}" OUTPUT_VARIABLE headers
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} could not read ${PROGRAM}")
endif()
string(REGEX MATCHALL "DLL Name: [^\r\n]+" imports "${headers}")
if(NOT imports)
  message(FATAL_ERROR "no imports found in ${PROGRAM}")
endif()
# HKLM\System\CurrentControlSet\Control\Session Manager\KnownDLLs of Windows 10 and 11 (ntdll is
# the loader itself).
set(known advapi32.dll clbcatq.dll combase.dll comdlg32.dll coml2.dll gdi32.dll gdiplus.dll
          imagehlp.dll imm32.dll kernel32.dll msctf.dll msvcrt.dll normaliz.dll nsi.dll ntdll.dll
          ole32.dll oleaut32.dll psapi.dll rpcrt4.dll sechost.dll setupapi.dll shcore.dll
          shell32.dll shlwapi.dll user32.dll wldap32.dll ws2_32.dll)
foreach(line IN LISTS imports)
  string(REPLACE "DLL Name: " "" dll "${line}")
  string(TOLOWER "${dll}" dll)
  if(NOT dll IN_LIST known)
    message(FATAL_ERROR "${PROGRAM} imports ${dll}, which is not a KnownDLL: Windows would look "
                        "for it in the program's folder first")
  endif()
  message("imports ${dll}")
endforeach()
# Without SetDefaultDllDirectories every load at run time (the system DLLs' own included) would
# search the program's folder too.
foreach(call SetDefaultDllDirectories LoadLibraryExW)
  if(NOT headers MATCHES "[ \t]${call}[\r\n]")
    message(FATAL_ERROR "${PROGRAM} does not import ${call}")
  endif()
endforeach()
