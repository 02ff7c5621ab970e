# Runs the real program with --base values it must refuse: exit code 1, and not one log line.
# (Each follows an accepted value, which the refusal must not name.)
# Called as: cmake -DPROGRAM=... [-DEMULATOR=...] -DSCRATCH=... -P refused_base.cmake
file(REMOVE_RECURSE "${SCRATCH}")
file(MAKE_DIRECTORY "${SCRATCH}")
set(ENV{TMPDIR} "${SCRATCH}")
set(ENV{TMP} "${SCRATCH}")
set(ENV{TEMP} "${SCRATCH}")
# Wine maps the Unix folder to a drive letter; TMP and TEMP above reach GetTempPathW as Z:\...
# Another host over plain http, and two that only look like this machine (user info sends the
# request to 192.0.2.2; the second names a host beneath example.com).
foreach(value http://example.com http://127.0.0.1@192.0.2.2:8768 http://localhost.example.com)
  execute_process(COMMAND ${EMULATOR} "${PROGRAM}" --base https://fine --base "${value}" --check
                  RESULT_VARIABLE result OUTPUT_QUIET ERROR_VARIABLE said)
  if(NOT result EQUAL 1)
    message(FATAL_ERROR "expected exit code 1 for --base ${value}, got ${result}")
  endif()
  # Linux says why in one line, naming the value; the Windows build, a GUI program, says nothing.
  if(EMULATOR)
    set(expected "")
  else()
    set(expected "^Corvalis Setup refused --base \"${value}\": [^\n]*https://HOST[^\n]*\n$")
  endif()
  if(EMULATOR AND said MATCHES "--base" OR NOT EMULATOR AND NOT said MATCHES "${expected}")
    message(FATAL_ERROR "--base ${value} said: ${said}")
  endif()
  # (Wine keeps files of its own in TMPDIR, so look for ours by name.)
  file(GLOB_RECURSE left "${SCRATCH}/Corvalis Setup.log" "${SCRATCH}/corvalis-setup-*")
  if(left)
    message(FATAL_ERROR "--base ${value} left a trace in the temporary folder: ${left}")
  endif()
endforeach()
file(REMOVE_RECURSE "${SCRATCH}")
