#pragma once

// Ed25519 signature verification (RFC 8032, pure Ed25519: no context, no pre-hashing).
//
// This verifies only; it never signs or derives keys. SHA-512 comes from the platform layer; the
// field and curve arithmetic is our own, written for small code and fixed-size storage rather
// than speed. A call uses only a few kilobytes of stack and allocates nothing on the heap.
//
// What is checked: S is strictly below the group order L (before anything is hashed), the key
// decodes to a curve point, the platform hash succeeds, and S·B − h·A encodes to exactly R.
// What is not: R is never decoded on its own (a non-canonical R simply fails the comparison),
// a key whose y is not below p is taken as it is, there is no cofactor and no small-order test.
//
// The curve constants are computed on the first call and fixed for the life of the process.

#include <cstddef>
#include <cstdint>

// True when `signature` (R then S, 64 bytes) is a valid signature of the `length` bytes at
// `message` under `public_key` (32 bytes). Never throws: every failure inside is false.
bool ed25519_verify(const std::uint8_t signature[64], const std::uint8_t* message,
                    std::size_t length, const std::uint8_t public_key[32]);
