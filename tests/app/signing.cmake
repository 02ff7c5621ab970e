# The build signs nothing unless it is given a certificate and a key; given them, the signing
# step (cmake/sign.cmake, the one the build runs after linking) leaves a signature that
# osslsigncode verifies (a throwaway self-signed certificate stands in for the real one), and
# hands osslsigncode the time-stamp server and a PKCS#11 key with its module. Configuring the
# project to sign a build that trusts the development release key stops with an error, as does
# signing without a time-stamp server; with a release key of its own the same configuration
# passes.
# Called as: cmake -DPROGRAM=... -DSIGN_SCRIPT=... -DSCRATCH=... -DSOURCE=... -DTOOLCHAIN=...
#                  -DGENERATOR=... -P signing.cmake
find_program(OSSLSIGNCODE osslsigncode REQUIRED)
find_program(OPENSSL openssl REQUIRED)
file(REMOVE_RECURSE "${SCRATCH}")
file(MAKE_DIRECTORY "${SCRATCH}")

# This build was configured without a certificate: its program carries no signature.
execute_process(COMMAND "${OSSLSIGNCODE}" verify -in "${PROGRAM}" RESULT_VARIABLE unsigned_result
                OUTPUT_VARIABLE unsigned_output ERROR_VARIABLE unsigned_output)
if(unsigned_result EQUAL 0)
  message(FATAL_ERROR "the unconfigured build signed ${PROGRAM}:\n${unsigned_output}")
endif()

execute_process(
  COMMAND "${OPENSSL}" req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Corvalis Test Signing"
          -addext "extendedKeyUsage=codeSigning" -keyout "${SCRATCH}/key.pem"
          -out "${SCRATCH}/certificate.pem"
  RESULT_VARIABLE result OUTPUT_QUIET ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "openssl could not make a test certificate:\n${output}")
endif()

set(copy "${SCRATCH}/corvalis-setup.exe")
file(COPY_FILE "${PROGRAM}" "${copy}")
execute_process(COMMAND "${CMAKE_COMMAND}" -DFILE=${copy} -DCERTIFICATE=${SCRATCH}/certificate.pem
                        -DKEY=${SCRATCH}/key.pem -P "${SIGN_SCRIPT}"
                RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "the signing step failed:\n${output}")
endif()

execute_process(COMMAND "${OSSLSIGNCODE}" verify -CAfile "${SCRATCH}/certificate.pem"
                        -in "${copy}"
                RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "osslsigncode does not accept the signature:\n${output}")
endif()
foreach(text "Signature verification: ok" "Calculated message digest" "Corvalis Test Signing")
  string(FIND "${output}" "${text}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "osslsigncode's report lacks \"${text}\":\n${output}")
  endif()
endforeach()

# A release is signed with a key in a token or a cloud signer and time-stamped: what the signing
# step hands osslsigncode, told by a stand-in that writes its arguments down and copies the
# program as if it had signed it.
set(fake "${SCRATCH}/osslsigncode")
file(WRITE "${fake}" "#!/bin/sh\nprintf '%s\\n' \"$@\" >\"${SCRATCH}/arguments\"\n"
                     "while [ $# -gt 1 ]; do case $1 in -in) in=$2;; -out) out=$2;; esac; shift; done\n"
                     "cp \"$in\" \"$out\"\n")
file(CHMOD "${fake}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
set(key "pkcs11:token=Corvalis%20Signing;object=release")
execute_process(COMMAND "${CMAKE_COMMAND}" -DFILE=${copy} -DCERTIFICATE=${SCRATCH}/certificate.pem
                        "-DKEY=${key}" -DPKCS11_MODULE=/usr/lib/signer-pkcs11.so
                        -DTIMESTAMP_URL=http://timestamp.example.com -DOSSLSIGNCODE=${fake}
                        -P "${SIGN_SCRIPT}"
                RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "the signing step failed with the stand-in:\n${output}")
endif()
file(STRINGS "${SCRATCH}/arguments" arguments)
list(JOIN arguments " " arguments)
foreach(expected "-pkcs11module /usr/lib/signer-pkcs11.so" "-key ${key}"
                 "-ts http://timestamp.example.com" "-h sha256")
  string(FIND " ${arguments} " " ${expected} " at)
  if(at EQUAL -1)
    message(FATAL_ERROR "osslsigncode was not given \"${expected}\": ${arguments}")
  endif()
endforeach()

# Configuring to sign: refused with the development key, and without a time-stamp server;
# accepted with a release key of its own. Each is a real configuration of the project.
set(build "${SCRATCH}/configure")
function(configure expected_result expected_text)
  execute_process(COMMAND "${CMAKE_COMMAND}" -S "${SOURCE}" -B "${build}" -G "${GENERATOR}"
                          "-DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN}" -DCORVALIS_TESTS=OFF
                          -DCORVALIS_SIGNING_CERTIFICATE=${SCRATCH}/certificate.pem
                          -DCORVALIS_SIGNING_KEY=${SCRATCH}/key.pem ${ARGN}
                  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  string(REGEX REPLACE "[ \t\r\n]+" " " flat "${output}")
  string(FIND "${flat}" "${expected_text}" at)
  if(result EQUAL 0)
    set(outcome succeed)
  else()
    set(outcome fails)
  endif()
  if(NOT outcome STREQUAL expected_result OR at EQUAL -1)
    message(FATAL_ERROR "configuring with ${ARGN}: expected it to ${expected_result} saying "
                        "\"${expected_text}\", got exit code ${result}:\n${output}")
  endif()
endfunction()
configure(fails "Refusing to sign a build that trusts the DEVELOPMENT release key"
          -DCORVALIS_SIGNING_TIMESTAMP_URL=http://timestamp.example.com)
set(release_key 3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c)
configure(fails "Signing needs CORVALIS_SIGNING_TIMESTAMP_URL"
          -DCORVALIS_RELEASE_KEY=${release_key} -DCORVALIS_SIGNING_TIMESTAMP_URL=)
configure(succeed "Build files have been written"
          -DCORVALIS_RELEASE_KEY=${release_key}
          -DCORVALIS_SIGNING_TIMESTAMP_URL=http://timestamp.example.com)
file(REMOVE_RECURSE "${SCRATCH}")
