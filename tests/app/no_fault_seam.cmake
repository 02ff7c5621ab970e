# The fault seam of the file functions is for tests only: the program must carry none of it (no
# name of its environment variables, in UTF-8 or UTF-16, and no seam function among its
# symbols), while a test program built with it does, which shows the search finds it.
#   cmake -DPROGRAM=<program> -DWITH_SEAM=<test program> -DNM=<nm> -P no_fault_seam.cmake
cmake_minimum_required(VERSION 3.25)
function(seam_traces file result)
  set(found "")
  foreach(encoding UTF-8 UTF-16LE)
    file(STRINGS "${file}" hits REGEX "CORVALIS_FAULT_" ENCODING ${encoding})
    list(APPEND found ${hits})
  endforeach()
  # The seam's functions among the program's own symbols (the stripped Windows program has none;
  # the names above are still in its data). An unoptimised build keeps weak copies of the
  # program's inline stand-ins, which answer true and nothing else: only the seam's own,
  # strong definitions count.
  execute_process(COMMAND "${NM}" --defined-only -C "${file}" OUTPUT_VARIABLE symbols
                  ERROR_QUIET)
  string(REGEX MATCHALL " T platform::(file_change_permitted|restart_file_change_count)[^\n]*"
         functions "${symbols}")
  list(APPEND found ${functions})
  set(${result} "${found}" PARENT_SCOPE)
endfunction()
seam_traces("${WITH_SEAM}" control)
if(NOT control)
  message(FATAL_ERROR "no trace of the seam found in ${WITH_SEAM}: the search is broken")
endif()
seam_traces("${PROGRAM}" shipped)
if(shipped)
  message(FATAL_ERROR "${PROGRAM} carries the fault seam: ${shipped}")
endif()
message("no fault seam in ${PROGRAM} (found in ${WITH_SEAM}: ${control})")
