# Signs a Windows executable in place with osslsigncode (Authenticode, SHA-256).
#   cmake -DFILE=program.exe -DCERTIFICATE=cert.pem -DKEY=key.pem [-DOSSLSIGNCODE=path] -P sign.cmake
# The build runs this after linking when it was configured with a certificate and a key; the
# signature is written to a copy first, so a failed signing never leaves a half-written program.
if(NOT OSSLSIGNCODE)
  find_program(OSSLSIGNCODE osslsigncode)
  if(NOT OSSLSIGNCODE)
    message(FATAL_ERROR "osslsigncode is needed to sign ${FILE}: apt-get install osslsigncode")
  endif()
endif()
set(signed "${FILE}.signed")
file(REMOVE "${signed}")
execute_process(
  COMMAND "${OSSLSIGNCODE}" sign -certs "${CERTIFICATE}" -key "${KEY}" -h sha256
          -n "Corvalis Setup" -i "https://corvalisplugin.com" -in "${FILE}" -out "${signed}"
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  file(REMOVE "${signed}")
  message(FATAL_ERROR "osslsigncode could not sign ${FILE}:\n${output}")
endif()
file(RENAME "${signed}" "${FILE}")
