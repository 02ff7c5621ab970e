// Ed25519 verification on sixteen 16-bit limbs, in the manner of TweetNaCl: few lines, fixed
// storage, no tables. Speed is not a goal; an install run verifies two signatures.

#include "release/ed25519/ed25519.h"

#include <cstring>

#include "platform/crypto.h"

namespace {

// ---------------------------------------------------------------------------------------------
// Field arithmetic modulo p = 2^255 − 19

// Limb i weighs 2^(16·i). Limbs may leave 0..65535 between operations: additions and
// subtractions never carry, `field_carry` brings them back near 16 bits, and only
// `field_encode` produces the unique value below p.
struct FieldElement {
  std::int64_t limb[16];
};

struct EdwardsPoint {
  FieldElement x, y, z, t;  // extended coordinates: x = X/Z, y = Y/Z, x·y = T/Z
};

constexpr FieldElement field_zero{};
constexpr FieldElement field_one{{1}};

FieldElement field_add(const FieldElement& a, const FieldElement& b) {
  FieldElement out;
  for (int i = 0; i < 16; ++i) out.limb[i] = a.limb[i] + b.limb[i];
  return out;
}

FieldElement field_subtract(const FieldElement& a, const FieldElement& b) {
  FieldElement out;
  for (int i = 0; i < 16; ++i) out.limb[i] = a.limb[i] - b.limb[i];
  return out;
}

void field_carry(FieldElement& a) {
  for (int i = 0; i < 16; ++i) {
    // The 2^16 added here and the 1 taken from the carry below keep negative limbs right.
    a.limb[i] += std::int64_t{1} << 16;
    const std::int64_t carry = a.limb[i] >> 16;
    if (i < 15) {
      a.limb[i + 1] += carry - 1;
    } else {
      a.limb[0] += 38 * (carry - 1);  // 2^256 ≡ 38 (mod p)
    }
    a.limb[i] -= carry * 65536;
  }
}

FieldElement field_multiply(const FieldElement& a, const FieldElement& b) {
  std::int64_t product[31] = {};
  for (int i = 0; i < 16; ++i) {
    for (int j = 0; j < 16; ++j) product[i + j] += a.limb[i] * b.limb[j];
  }
  for (int i = 0; i < 15; ++i) product[i] += 38 * product[i + 16];
  FieldElement out;
  std::memcpy(out.limb, product, sizeof out.limb);
  field_carry(out);
  field_carry(out);
  return out;
}

FieldElement field_square(const FieldElement& a) {
  return field_multiply(a, a);
}

// a^(p−2) = a^−1: the exponent 2^255 − 21 has every bit set but bits 2 and 4.
FieldElement field_invert(const FieldElement& a) {
  FieldElement c = a;
  for (int n = 253; n >= 0; --n) {
    c = field_square(c);
    if (n != 2 && n != 4) c = field_multiply(c, a);
  }
  return c;
}

// a^((p−5)/8) = a^(2^252 − 3), the power behind the square root in point decoding.
FieldElement field_pow_p58(const FieldElement& a) {
  FieldElement c = a;
  for (int n = 250; n >= 0; --n) {
    c = field_square(c);
    if (n != 1) c = field_multiply(c, a);
  }
  return c;
}

// Sets `a` to `b` when `take` is 1 and leaves it when 0, without a branch on `take`.
void field_select(FieldElement& a, const FieldElement& b, std::int64_t take) {
  const std::int64_t mask = -take;
  for (int i = 0; i < 16; ++i) a.limb[i] ^= mask & (a.limb[i] ^ b.limb[i]);
}

void field_swap(FieldElement& a, FieldElement& b, std::int64_t swap) {
  const std::int64_t mask = -swap;
  for (int i = 0; i < 16; ++i) {
    const std::int64_t differ = mask & (a.limb[i] ^ b.limb[i]);
    a.limb[i] ^= differ;
    b.limb[i] ^= differ;
  }
}

void field_encode(std::uint8_t out[32], const FieldElement& a) {
  FieldElement t = a;
  field_carry(t);
  field_carry(t);
  field_carry(t);
  // Now 0 <= t < 2^256 with 16-bit limbs; subtracting p at most twice makes it canonical.
  for (int round = 0; round < 2; ++round) {
    FieldElement m;
    m.limb[0] = t.limb[0] - 0xFFED;
    for (int i = 1; i < 15; ++i) {
      m.limb[i] = t.limb[i] - 0xFFFF - ((m.limb[i - 1] >> 16) & 1);
      m.limb[i - 1] &= 0xFFFF;
    }
    m.limb[15] = t.limb[15] - 0x7FFF - ((m.limb[14] >> 16) & 1);
    m.limb[14] &= 0xFFFF;
    const std::int64_t borrow = (m.limb[15] >> 16) & 1;
    field_select(t, m, 1 - borrow);  // t − p when that did not go below zero
  }
  for (int i = 0; i < 16; ++i) {
    out[2 * i] = static_cast<std::uint8_t>(t.limb[i] & 0xFF);
    out[2 * i + 1] = static_cast<std::uint8_t>(t.limb[i] >> 8);
  }
}

// Bit 255 is ignored; values from p up to 2^255 − 1 are taken as they are.
FieldElement field_decode(const std::uint8_t in[32]) {
  FieldElement out;
  for (int i = 0; i < 16; ++i) out.limb[i] = in[2 * i] + 256 * std::int64_t{in[2 * i + 1]};
  out.limb[15] &= 0x7FFF;
  return out;
}

bool field_differs(const FieldElement& a, const FieldElement& b) {
  std::uint8_t encoded_a[32], encoded_b[32];
  field_encode(encoded_a, a);
  field_encode(encoded_b, b);
  return std::memcmp(encoded_a, encoded_b, 32) != 0;
}

int field_parity(const FieldElement& a) {
  std::uint8_t encoded[32];
  field_encode(encoded, a);
  return encoded[0] & 1;
}

// ---------------------------------------------------------------------------------------------
// Curve constants, computed on the first verification

struct CurveConstants {
  FieldElement d;        // −121665/121666, the curve's d
  FieldElement d2;       // 2d
  FieldElement sqrt_m1;  // 2^((p−1)/4), a square root of −1
  FieldElement base_x, base_y;
};

bool point_decode_negated(EdwardsPoint& point, const std::uint8_t in[32],
                          const CurveConstants& curve);

CurveConstants compute_curve_constants() {
  CurveConstants curve;
  // Order matters: decoding the base point needs d and the square root of −1.
  FieldElement a{{56129, 1}};  // 121665
  FieldElement b{{56130, 1}};  // 121666
  b = field_invert(b);
  a = field_subtract(field_zero, a);
  curve.d = field_multiply(a, b);
  curve.d2 = field_add(curve.d, curve.d);

  // 2^(2^253 − 5): every exponent bit below the leading one is set except bit 2.
  const FieldElement two{{2}};
  FieldElement c = two;
  for (int n = 251; n >= 0; --n) {
    c = field_square(c);
    if (n != 2) c = field_multiply(c, two);
  }
  curve.sqrt_m1 = c;

  std::uint8_t base_encoding[32];
  std::memset(base_encoding, 0x66, sizeof base_encoding);
  base_encoding[0] = 0x58;
  EdwardsPoint base;
  point_decode_negated(base, base_encoding, curve);  // the standard base point always decodes
  curve.base_x = field_subtract(field_zero, base.x);
  curve.base_y = base.y;
  return curve;
}

const CurveConstants& curve_constants() {
  // Initialised once, on first use; the language makes the first call safe across threads.
  static const CurveConstants curve = compute_curve_constants();
  return curve;
}

// ---------------------------------------------------------------------------------------------
// Points

// P = P + Q with the unified formula, so it also doubles (Q = P).
void point_add(EdwardsPoint& p, const EdwardsPoint& q, const CurveConstants& curve) {
  const FieldElement a = field_multiply(field_subtract(p.y, p.x), field_subtract(q.y, q.x));
  const FieldElement b = field_multiply(field_add(p.y, p.x), field_add(q.y, q.x));
  const FieldElement c = field_multiply(field_multiply(p.t, q.t), curve.d2);
  FieldElement zz = field_multiply(p.z, q.z);
  zz = field_add(zz, zz);
  const FieldElement e = field_subtract(b, a);
  const FieldElement f = field_subtract(zz, c);
  const FieldElement g = field_add(zz, c);
  const FieldElement h = field_add(b, a);
  p.x = field_multiply(e, f);
  p.y = field_multiply(h, g);
  p.z = field_multiply(g, f);
  p.t = field_multiply(e, h);
}

void point_swap(EdwardsPoint& p, EdwardsPoint& q, std::int64_t swap) {
  field_swap(p.x, q.x, swap);
  field_swap(p.y, q.y, swap);
  field_swap(p.z, q.z, swap);
  field_swap(p.t, q.t, swap);
}

// s·Q for a 32-byte little-endian scalar, one addition and one doubling per bit whatever the
// bit is. Q is used as scratch and its value is lost.
EdwardsPoint point_scalar_multiply(EdwardsPoint& q, const std::uint8_t scalar[32],
                                   const CurveConstants& curve) {
  EdwardsPoint r{field_zero, field_one, field_one, field_zero};
  for (int i = 255; i >= 0; --i) {
    const std::int64_t bit = (scalar[i / 8] >> (i % 8)) & 1;
    point_swap(r, q, bit);
    point_add(q, r, curve);
    point_add(r, r, curve);
    point_swap(r, q, bit);
  }
  return r;
}

// Decodes the point A and returns −A (what verification needs); false when the bytes name no
// point on the curve.
bool point_decode_negated(EdwardsPoint& point, const std::uint8_t in[32],
                          const CurveConstants& curve) {
  point.z = field_one;
  point.y = field_decode(in);
  FieldElement num = field_square(point.y);
  FieldElement den = field_multiply(num, curve.d);
  num = field_subtract(num, point.z);  // y² − 1
  den = field_add(point.z, den);       // d·y² + 1

  // x = num·den³·(num·den⁷)^((p−5)/8), a square root of num/den if one exists.
  const FieldElement den2 = field_square(den);
  const FieldElement den4 = field_square(den2);
  const FieldElement den6 = field_multiply(den4, den2);
  FieldElement t = field_multiply(field_multiply(den6, num), den);
  t = field_pow_p58(t);
  t = field_multiply(t, num);
  t = field_multiply(t, den);
  t = field_multiply(t, den);
  point.x = field_multiply(t, den);

  if (field_differs(field_multiply(field_square(point.x), den), num)) {
    point.x = field_multiply(point.x, curve.sqrt_m1);
  }
  if (field_differs(field_multiply(field_square(point.x), den), num)) return false;

  if (field_parity(point.x) == (in[31] >> 7)) point.x = field_subtract(field_zero, point.x);
  point.t = field_multiply(point.x, point.y);
  return true;
}

void point_encode(std::uint8_t out[32], const EdwardsPoint& p) {
  const FieldElement z_inverse = field_invert(p.z);
  const FieldElement x = field_multiply(p.x, z_inverse);
  const FieldElement y = field_multiply(p.y, z_inverse);
  field_encode(out, y);
  out[31] ^= static_cast<std::uint8_t>(field_parity(x) << 7);
}

// ---------------------------------------------------------------------------------------------
// Scalars modulo L = 2^252 + 27742317777372353535851937790883648493

constexpr std::int64_t group_order[32] = {237, 211, 245, 92,  26, 99, 18, 88, 214, 156, 247,
                                          162, 222, 249, 222, 20, 0,  0,  0,  0,   0,   0,
                                          0,   0,   0,   0,   0,  0,  0,  0,  0,   16};

// Reduces a 512-bit little-endian integer, one byte per word, modulo L into 32 bytes.
void scalar_reduce(std::uint8_t out[32], std::int64_t x[64]) {
  // Fold the high bytes down: 2^256 ≡ −16·(L − 2^252) (mod L), one byte at a time.
  for (int i = 63; i >= 32; --i) {
    std::int64_t carry = 0;
    int j = i - 32;
    for (; j < i - 12; ++j) {
      x[j] += carry - 16 * x[i] * group_order[j - (i - 32)];
      carry = (x[j] + 128) >> 8;
      x[j] -= carry * 256;
    }
    x[j] += carry;
    x[i] = 0;
  }
  std::int64_t carry = 0;
  for (int j = 0; j < 32; ++j) {
    x[j] += carry - (x[31] >> 4) * group_order[j];
    carry = x[j] >> 8;
    x[j] &= 255;
  }
  for (int j = 0; j < 32; ++j) x[j] -= carry * group_order[j];
  for (int i = 0; i < 32; ++i) {
    x[i + 1] += x[i] >> 8;
    out[i] = static_cast<std::uint8_t>(x[i] & 255);
  }
}

// S < L, compared from the most significant byte; S = L is out of range too. This stops a
// second valid signature being made from a first one by adding L to S.
bool scalar_below_group_order(const std::uint8_t s[32]) {
  for (int i = 31; i >= 0; --i) {
    if (s[i] != group_order[i]) return s[i] < group_order[i];
  }
  return false;
}

}  // namespace

bool ed25519_verify(const std::uint8_t signature[64], const std::uint8_t* message,
                    std::size_t length, const std::uint8_t public_key[32]) {
  const CurveConstants& curve = curve_constants();
  const std::uint8_t* r_encoded = signature;
  const std::uint8_t* s = signature + 32;
  if (!scalar_below_group_order(s)) return false;

  EdwardsPoint p;
  if (!point_decode_negated(p, public_key, curve)) return false;

  // k = SHA-512(R ‖ A ‖ message), with the key hashed exactly as received.
  std::uint8_t digest[64];
  {
    platform::Sha512 hash;
    if (!hash.update(r_encoded, 32) || !hash.update(public_key, 32) ||
        (length > 0 && !hash.update(message, length)) || !hash.finish(digest)) {
      return false;
    }
  }
  std::int64_t wide[64];
  for (int i = 0; i < 64; ++i) wide[i] = digest[i];
  std::memset(digest, 0, sizeof digest);
  std::uint8_t h[32];
  scalar_reduce(h, wide);

  EdwardsPoint product = point_scalar_multiply(p, h, curve);  // −h·A
  EdwardsPoint base{curve.base_x, curve.base_y, field_one,
                    field_multiply(curve.base_x, curve.base_y)};
  const EdwardsPoint s_base = point_scalar_multiply(base, s, curve);  // S·B
  point_add(product, s_base, curve);

  std::uint8_t computed[32];
  point_encode(computed, product);
  return std::memcmp(computed, r_encoded, 32) == 0;
}
