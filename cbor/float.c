/*
 * Floats in the shortest exact width. Whether a narrower form is exact is not
 * worked out arithmetically: all three forms are written to a scratch buffer
 * and read back, and the narrowest one that decodes to the same number wins.
 */
#include <math.h>
#include <stdint.h>

#include "cbor.h"
#include "ieee754.h"

/* Under round-to-nearest-even every double of at least this magnitude rounds
 * to the single infinity: it is the midpoint between FLT_MAX (2^128 - 2^104)
 * and 2^128, and ties go to 2^128 because FLT_MAX has an odd significand. */
#define SINGLE_OVERFLOW_THRESHOLD 0x1.ffffffp127

static const uint8_t nan_form[] = {CBOR_HALF, 0x7e, 0x00};
static const uint8_t positive_infinity_form[] = {CBOR_HALF, 0x7c, 0x00};
static const uint8_t negative_infinity_form[] = {CBOR_HALF, 0xfc, 0x00};

typedef int32_t (*width_writer)(cbor_buffer *buffer, double x);

/* The single-precision bit pattern of x, rounded to nearest. Overflow is
 * decided here because a cast of an out-of-range double to float is
 * undefined behaviour in C. */
static uint32_t single_bits(double x)
{
    float narrowed;
    uint32_t bits;

    if (fabs(x) >= SINGLE_OVERFLOW_THRESHOLD)
        return (signbit(x) ? UINT32_C(1) << SINGLE_SIGN_SHIFT : 0) | SINGLE_EXPONENT_MASK;
    narrowed = (float)x;
    memcpy(&bits, &narrowed, sizeof bits);
    return bits;
}

/* Narrows the single pattern by truncating the fraction and re-biasing the
 * exponent without a range test. Results outside the normal half range come
 * out wrong, and the re-read rejects them. */
static uint16_t half_bits(double x)
{
    uint32_t single = single_bits(x);
    uint32_t sign = (single >> SINGLE_SIGN_SHIFT) << HALF_SIGN_SHIFT;
    uint32_t exponent = (single & SINGLE_EXPONENT_MASK) >> SINGLE_EXPONENT_SHIFT;
    uint32_t fraction = (single & SINGLE_FRACTION_MASK) >> (SINGLE_FRACTION_BITS - HALF_FRACTION_BITS);
    uint32_t rebiased;

    if (exponent == SINGLE_EXPONENT_MAX) /* overflowed: the half infinity */
        return (uint16_t)(sign | HALF_EXPONENT_MASK);
    if (exponent == 0) /* zero or subnormal */
        return (uint16_t)(sign | fraction);
    rebiased = (((exponent - SINGLE_EXPONENT_BIAS) & SINGLE_EXPONENT_MAX) + HALF_EXPONENT_BIAS)
               << HALF_EXPONENT_SHIFT;
    return (uint16_t)(sign | rebiased | fraction);
}

/* Appends the initial byte, then `width` bytes of `bits`, most significant
 * first, as one run. */
static int32_t write_width(cbor_buffer *buffer, int initial_byte, uint64_t bits, unsigned width)
{
    uint8_t payload[sizeof bits];
    unsigned i;

    if (buffer_put_byte(buffer, initial_byte) < 0)
        return -1;
    for (i = 0; i < width; i++)
        payload[i] = (uint8_t)(bits >> (8 * (width - 1 - i)));
    return buffer_put_bytes(buffer, payload, width) < 0 ? -1 : 1;
}

int32_t write_half(cbor_buffer *buffer, double x)
{
    return write_width(buffer, CBOR_HALF, half_bits(x), sizeof(uint16_t));
}

int32_t write_single(cbor_buffer *buffer, double x)
{
    return write_width(buffer, CBOR_SINGLE, single_bits(x), sizeof(uint32_t));
}

int32_t write_double(cbor_buffer *buffer, double x)
{
    return write_width(buffer, CBOR_DOUBLE, double_to_bits(x), sizeof(uint64_t));
}

static double item_number(const cbor_item *item)
{
    return bits_to_double(item->value);
}

/* Writes the three forms of x to scratch space, reads them back and picks the
 * narrowest that decodes to the same number as the double form (-0.0 equals
 * 0.0, a NaN equals nothing). If any allocation of this proof fails, nothing is written and the
 * result is -1: a fallback width would hide the out-of-memory condition. */
int32_t write_float(cbor_buffer *buffer, double x)
{
    cbor_buffer *scratch;
    cbor_reader *reader = NULL;
    cbor_item *half_item = NULL, *single_item = NULL, *double_item = NULL;
    width_writer chosen;
    int32_t result = -1;

    if (isnan(x))
        return buffer_put_bytes(buffer, nan_form, sizeof nan_form);
    if (isinf(x))
        return buffer_put_bytes(buffer, x < 0 ? negative_infinity_form : positive_infinity_form,
                                sizeof positive_infinity_form);

    scratch = buffer_new();
    if (write_half(scratch, x) == 1 && write_single(scratch, x) == 1 && write_double(scratch, x) == 1
        && (reader = reader_new(scratch->data, scratch->size)) != NULL
        && (half_item = read_item(reader)) != NULL && (single_item = read_item(reader)) != NULL
        && (double_item = read_item(reader)) != NULL) {
        if (item_number(single_item) != item_number(double_item))
            chosen = write_double;
        else if (item_number(half_item) != item_number(single_item))
            chosen = write_single;
        else
            chosen = write_half;
        result = chosen(buffer, x);
    }
    item_free(double_item);
    item_free(single_item);
    item_free(half_item);
    reader_free(reader);
    buffer_free(scratch);
    return result;
}
