# Cross build for 64-bit Windows with Debian's mingw-w64 (posix threads flavour).
#   cmake --preset windows      (the preset names this file)
# Tests run under Wine: the top-level CMakeLists sets the emulator.
#
# The posix flavour links winpthreads into the program, which brings SuspendThread,
# GetThreadContext and SetThreadContext into its import table (calls that antivirus heuristics
# weigh). The program itself needs no std::thread, but GCC 12's win32 flavour has no std::thread,
# std::mutex or std::condition_variable at all, and the tests and the window driver use them;
# the program is built by the same compiler and runtime as the tests that check it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_triple x86_64-w64-mingw32)
find_program(CMAKE_C_COMPILER ${_triple}-gcc-posix)
find_program(CMAKE_CXX_COMPILER ${_triple}-g++-posix)
find_program(CMAKE_RC_COMPILER ${_triple}-windres)
if(NOT CMAKE_CXX_COMPILER OR NOT CMAKE_RC_COMPILER)
  message(FATAL_ERROR "mingw-w64 not found: apt-get install g++-mingw-w64-x86-64-posix")
endif()

set(CMAKE_FIND_ROOT_PATH /usr/${_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

