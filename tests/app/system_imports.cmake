# The Windows program must start on a bare Windows: every DLL it imports is one Windows ships.
# A runtime linked dynamically by mistake (libstdc++-6.dll, libwinpthread-1.dll,
# libgcc_s_seh-1.dll) or any other DLL fails here.
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
set(shipped advapi32.dll bcrypt.dll comctl32.dll comdlg32.dll gdi32.dll kernel32.dll
            msvcrt.dll ntdll.dll ole32.dll oleaut32.dll shell32.dll shlwapi.dll user32.dll
            uxtheme.dll version.dll winhttp.dll)
foreach(line IN LISTS imports)
  string(REPLACE "DLL Name: " "" dll "${line}")
  string(TOLOWER "${dll}" dll)
  if(NOT dll IN_LIST shipped)
    message(FATAL_ERROR "${PROGRAM} imports ${dll}, which Windows does not ship")
  endif()
  message("imports ${dll}")
endforeach()
