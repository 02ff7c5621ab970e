# Signs a Windows executable in place with osslsigncode (Authenticode, SHA-256).
#   cmake -DFILE=program.exe -DCERTIFICATE=cert.pem -DKEY=<key> [-DPKCS11_MODULE=module.so]
#         [-DTIMESTAMP_URL=url] [-DOSSLSIGNCODE=path] -P sign.cmake
# KEY is a PKCS#11 URI (pkcs11:...) of a key in a hardware token or a cloud signer, reached
# through PKCS11_MODULE, or a PEM key file (tests). TIMESTAMP_URL is an RFC 3161 time-stamp
# server whose countersignature keeps the signature valid after the certificate expires; the
# build always gives one. The build runs this after linking when it was configured for signing;
# the signature is written to a copy first, so a failed signing never leaves a half-written
# program.
if(NOT OSSLSIGNCODE)
  find_program(OSSLSIGNCODE osslsigncode)
  if(NOT OSSLSIGNCODE)
    message(FATAL_ERROR "osslsigncode is needed to sign ${FILE}: apt-get install osslsigncode")
  endif()
endif()
# A PKCS#11 URI separates its attributes with semicolons: the key stays one quoted argument,
# never part of a list.
set(module_options "")
if(PKCS11_MODULE)
  set(module_options -pkcs11module "${PKCS11_MODULE}")
endif()
set(timestamp_options "")
if(TIMESTAMP_URL)
  set(timestamp_options -ts "${TIMESTAMP_URL}")
endif()
set(signed "${FILE}.signed")
file(REMOVE "${signed}")
execute_process(
  COMMAND "${OSSLSIGNCODE}" sign ${module_options} -certs "${CERTIFICATE}" -key "${KEY}"
          -h sha256 ${timestamp_options}
          -n "Corvalis Setup" -i "https://corvalisplugin.com" -in "${FILE}" -out "${signed}"
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  file(REMOVE "${signed}")
  message(FATAL_ERROR "osslsigncode could not sign ${FILE}:\n${output}")
endif()
file(RENAME "${signed}" "${FILE}")
