/*
 * Bit layouts of the three IEEE 754 binary formats that CBOR floats use, and
 * the moves between a double and its bit pattern. Private to the codec.
 */
#ifndef VELDSPRAY_IEEE754_H
#define VELDSPRAY_IEEE754_H

#include <stdint.h>
#include <string.h>

/* binary16: 1 sign bit, 5 exponent bits, 10 fraction bits */
#define HALF_SIGN_SHIFT 15
#define HALF_EXPONENT_SHIFT 10
#define HALF_EXPONENT_MASK 0x7c00u
#define HALF_EXPONENT_MAX 0x1fu
#define HALF_EXPONENT_BIAS 15
#define HALF_FRACTION_BITS 10
#define HALF_FRACTION_MASK 0x03ffu
#define HALF_HIDDEN_BIT 0x0400u

/* binary32: 1 sign bit, 8 exponent bits, 23 fraction bits */
#define SINGLE_SIGN_SHIFT 31
#define SINGLE_EXPONENT_SHIFT 23
#define SINGLE_EXPONENT_MASK UINT32_C(0x7f800000)
#define SINGLE_EXPONENT_MAX 0xffu
#define SINGLE_EXPONENT_BIAS 127
#define SINGLE_FRACTION_BITS 23
#define SINGLE_FRACTION_MASK UINT32_C(0x007fffff)

/* binary64: the sign bit and the two fixed patterns the reader produces */
#define DOUBLE_SIGN_MASK UINT64_C(0x8000000000000000)
#define DOUBLE_INFINITY_BITS UINT64_C(0x7ff0000000000000)
#define DOUBLE_NEGATIVE_NAN_BITS UINT64_C(0xfff8000000000000)

static inline uint64_t double_to_bits(double x)
{
    uint64_t bits;
    memcpy(&bits, &x, sizeof bits);
    return bits;
}

static inline double bits_to_double(uint64_t bits)
{
    double x;
    memcpy(&x, &bits, sizeof x);
    return x;
}

#endif /* VELDSPRAY_IEEE754_H */
