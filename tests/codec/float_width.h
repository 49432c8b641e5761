// The float width rule, stated independently of the codec for the tests and
// the writer fuzzer: half for zeros and normal half-precision numbers, single
// for anything else a float holds exactly, double for the rest.
#ifndef VELDSPRAY_CODEC_FLOAT_WIDTH_H
#define VELDSPRAY_CODEC_FLOAT_WIDTH_H

#include <cfloat>
#include <cmath>
#include <cstdint>

#include "ieee754.h"

// A normal half has an unbiased exponent in -14..15 and no significand bits
// beyond the top 10 of the 52 fraction bits.
inline bool is_half_normal(double x)
{
    const uint64_t bits = veldspray::cbor::double_to_bits(x);
    const int exponent = static_cast<int>((bits >> 52) & 0x7ff) - 1023;
    return exponent >= -14 && exponent <= 15 && (bits & ((uint64_t{1} << 42) - 1)) == 0;
}

inline bool is_exact_single(double x)
{
    return std::fabs(x) <= FLT_MAX && static_cast<double>(static_cast<float>(x)) == x;
}

// Payload bytes of the narrowest exact form of a finite x: 2, 4 or 8.
inline unsigned narrowest_width(double x)
{
    if (x == 0 || is_half_normal(x))
        return 2;
    return is_exact_single(x) ? 4 : 8;
}

#endif
