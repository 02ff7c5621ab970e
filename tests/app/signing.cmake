# The build signs nothing unless it is given a certificate and a key; given them, the signing
# step (cmake/sign.cmake, the one the build runs after linking) leaves a signature that
# osslsigncode verifies. A throwaway self-signed certificate stands in for the real one.
# Called as: cmake -DPROGRAM=... -DSIGN_SCRIPT=... -DSCRATCH=... -P signing.cmake
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
file(REMOVE_RECURSE "${SCRATCH}")
