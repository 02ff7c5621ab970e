#pragma once

// A release list signed with the development release key (keys/development-release-key.pem).
// The key's public half is spelled out so tests pass it explicitly and hold whatever key the
// build trusts.

#include <cstdint>
#include <string>

inline constexpr std::uint8_t development_key[32] = {
    0x6d, 0xca, 0x4a, 0x72, 0x6f, 0x00, 0xbe, 0x3c, 0x8b, 0x13, 0x07, 0x44, 0x2f, 0xd0, 0x7c, 0x61,
    0x42, 0xe2, 0xb5, 0x48, 0xa7, 0x30, 0x83, 0x9d, 0x9d, 0x89, 0x32, 0x0a, 0x0a, 0x11, 0xc4, 0x4d};

// One file, "host/Corvalis.acsrf", of 3 bytes ("abc").
inline const std::string release_document =
    "{\"version\":\"1.4.2\",\"files\":[{\"path\":\"host/Corvalis.acsrf\",\"size\":3,\"sha256\":"
    "\"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad\"}]}\n";
// Its signature as Base64, without a line break.
inline const std::string release_signature =
    "rY9jRe+catnIVACEmVYVs4kbWthZcVjGx5xdd92p3qJ4uJlN2c0dsdnn6aV0TIhtde2FSz6K3tVJXk5L0Q9TCA==";

inline const std::string unsigned_message =
    "A download from corvalisplugin.com wasn't signed by Corvalis, so nothing was installed.";
