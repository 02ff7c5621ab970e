# The release signing key the installer trusts: the public half, 32 bytes compiled in.
#   cmake --preset windows -DCORVALIS_RELEASE_KEY=<64 hex digits>
# (corvalis-release keygen prints the digits). Without it the build trusts the development key,
# whose private half is in keys/ for everyone to sign with: fine for tests, never for users.

set(CORVALIS_DEVELOPMENT_RELEASE_KEY
    6dca4a726f00be3c8b1307442fd07c6142e2b548a730839d9d89320a0a11c44d)
set(CORVALIS_RELEASE_KEY ${CORVALIS_DEVELOPMENT_RELEASE_KEY} CACHE STRING
    "Public release signing key, 64 hexadecimal digits (default: the development key)")

string(LENGTH "${CORVALIS_RELEASE_KEY}" _key_length)
if(NOT _key_length EQUAL 64)
  message(FATAL_ERROR "CORVALIS_RELEASE_KEY must be 64 hexadecimal digits (a 32-byte Ed25519 "
                      "public key); it has ${_key_length} characters: '${CORVALIS_RELEASE_KEY}'")
endif()
if(NOT CORVALIS_RELEASE_KEY MATCHES "^[0-9a-fA-F]+$")
  message(FATAL_ERROR "CORVALIS_RELEASE_KEY must be 64 hexadecimal digits (0-9, a-f); "
                      "'${CORVALIS_RELEASE_KEY}' has another character")
endif()

string(TOLOWER "${CORVALIS_RELEASE_KEY}" _key)
if(_key STREQUAL CORVALIS_DEVELOPMENT_RELEASE_KEY)
  set(CORVALIS_RELEASE_KEY_IS_DEVELOPMENT true)
  if(WIN32)
    message(WARNING "This Windows build trusts the DEVELOPMENT release key, whose private half "
                    "is public (keys/development-release-key.pem). It must not be shipped. "
                    "Configure with -DCORVALIS_RELEASE_KEY=<64 hex digits> for a release.")
  endif()
else()
  set(CORVALIS_RELEASE_KEY_IS_DEVELOPMENT false)
endif()

# "0x6d, 0xca, ..." for the generated source.
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1, " CORVALIS_RELEASE_KEY_BYTES "${_key}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/../src/release/release_key.cpp.in
               ${CMAKE_BINARY_DIR}/generated/release/release_key.cpp @ONLY)
