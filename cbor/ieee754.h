// Bit layouts of the three IEEE 754 binary formats that CBOR floats use, and
// the moves between a double and its bit pattern. Private to the codec and
// its tests.
#pragma once

#include <cstdint>
#include <cstring>

namespace veldspray::cbor {

// binary16: 1 sign bit, 5 exponent bits, 10 fraction bits
inline constexpr unsigned half_sign_shift = 15;
inline constexpr unsigned half_exponent_shift = 10;
inline constexpr std::uint32_t half_exponent_mask = 0x7c00;
inline constexpr std::uint32_t half_exponent_max = 0x1f;
inline constexpr int half_exponent_bias = 15;
inline constexpr int half_fraction_bits = 10;
inline constexpr std::uint32_t half_fraction_mask = 0x03ff;
inline constexpr std::uint32_t half_hidden_bit = 0x0400;

// binary32: 1 sign bit, 8 exponent bits, 23 fraction bits
inline constexpr unsigned single_sign_shift = 31;
inline constexpr unsigned single_exponent_shift = 23;
inline constexpr std::uint32_t single_exponent_mask = 0x7f800000;
inline constexpr std::uint32_t single_exponent_max = 0xff;
inline constexpr std::uint32_t single_exponent_bias = 127;
inline constexpr unsigned single_fraction_bits = 23;
inline constexpr std::uint32_t single_fraction_mask = 0x007fffff;

// binary64: the sign bit and the two fixed patterns the reader produces
inline constexpr std::uint64_t double_sign_mask = 0x8000000000000000;
inline constexpr std::uint64_t double_infinity_bits = 0x7ff0000000000000;
inline constexpr std::uint64_t double_negative_nan_bits = 0xfff8000000000000;

inline std::uint64_t double_to_bits(double x) noexcept
{
    std::uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    return bits;
}

inline double bits_to_double(std::uint64_t bits) noexcept
{
    double x;
    std::memcpy(&x, &bits, sizeof x);
    return x;
}

} // namespace veldspray::cbor
