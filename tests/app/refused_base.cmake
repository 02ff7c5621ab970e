# Runs the real program with a --base it must refuse: exit code 1, and not one log line.
# Called as: cmake -DPROGRAM=... [-DEMULATOR=...] -DSCRATCH=... -P refused_base.cmake
file(REMOVE_RECURSE "${SCRATCH}")
file(MAKE_DIRECTORY "${SCRATCH}")
set(ENV{TMPDIR} "${SCRATCH}")
set(ENV{TMP} "${SCRATCH}")
set(ENV{TEMP} "${SCRATCH}")
# Wine maps the Unix folder to a drive letter; TMP and TEMP above reach GetTempPathW as Z:\...
execute_process(COMMAND ${EMULATOR} "${PROGRAM}" --base http://example.com --check
                RESULT_VARIABLE result OUTPUT_QUIET ERROR_QUIET)
if(NOT result EQUAL 1)
  message(FATAL_ERROR "expected exit code 1 for a refused --base, got ${result}")
endif()
# (Wine keeps files of its own in TMPDIR, so look for ours by name.)
file(GLOB_RECURSE left "${SCRATCH}/Corvalis Setup.log" "${SCRATCH}/corvalis-setup-*")
if(left)
  message(FATAL_ERROR "a refused --base left a trace in the temporary folder: ${left}")
endif()
file(REMOVE_RECURSE "${SCRATCH}")
