/*
 * The item reader: one table look-up per item, one handler per initial byte.
 * Every bound test goes through reader_remaining, so no handler reads or moves
 * past the end of the run, whatever the bytes say.
 */
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "cbor.h"
#include "ieee754.h"

/* The two single-precision bit patterns that are mapped to fixed doubles
 * before any widening. */
#define SINGLE_INFINITY_PATTERN UINT32_C(0x7f800000)
#define SINGLE_NAN_PATTERN UINT32_C(0x7ffc0000)

cbor_reader *reader_new(const void *data, uint64_t size)
{
    cbor_reader *reader = calloc(1, sizeof *reader);

    if (reader == NULL)
        return NULL;
    reader->data = data;
    reader->size = size;
    reader->cur = reader->data;
    return reader;
}

void reader_free(cbor_reader *reader)
{
    free(reader);
}

int32_t reader_remaining(const cbor_reader *reader)
{
    return (int32_t)(uint32_t)(reader->size - (uint64_t)(reader->cur - reader->data));
}

/* Reads `count` big-endian bytes at the cursor and moves past them, or fails
 * without moving when fewer remain. */
static int32_t read_fixed(cbor_reader *reader, int32_t count, uint64_t *out)
{
    uint64_t result = 0;
    int32_t i;

    if (reader_remaining(reader) < count)
        return -1;
    for (i = 0; i < count; i++)
        result = result << 8 | reader->cur[i];
    reader->cur += count;
    *out = result;
    return 0;
}

/* Consumes the initial byte and the argument it announces. Only reached for
 * additional information 0..27. */
static int32_t read_argument(cbor_reader *reader, const cbor_item *item, uint64_t *argument)
{
    uint32_t additional_info = item->initial_byte & CBOR_AI_MASK;

    reader->cur++;
    if (additional_info <= CBOR_AI_IMMEDIATE_MAX) {
        *argument = additional_info;
        return 0;
    }
    /* ARG8..ARG64 are consecutive and carry 1, 2, 4 and 8 argument bytes. */
    return read_fixed(reader, 1 << (additional_info - CBOR_AI_ARG8), argument);
}

static int32_t decode_uint(cbor_reader *reader, cbor_item *item)
{
    return read_argument(reader, item, &item->value);
}

static int32_t decode_negint(cbor_reader *reader, cbor_item *item)
{
    if (read_argument(reader, item, &item->value) < 0)
        return -1;
    item->value = ~item->value;
    return 0;
}

/* Copies a definite string's content; `terminator` is 1 for text, whose copy
 * ends in a NUL, and 0 for bytes. */
static int32_t decode_string(cbor_reader *reader, cbor_item *item, size_t terminator)
{
    uint64_t length;
    int32_t remaining;
    size_t block_size;
    uint8_t *copy;

    if (read_argument(reader, item, &length) < 0)
        return -1;
    remaining = reader_remaining(reader);
    if (remaining < 0 || length > (uint64_t)remaining)
        return -1;
    item->length = (int64_t)length;
    block_size = (size_t)length + terminator; /* length < 2^31: fits any size_t */
    copy = malloc(block_size);
    if (copy == NULL && block_size != 0) /* malloc(0) may legitimately give NULL */
        return -1;
    if (length != 0)
        memcpy(copy, reader->cur, (size_t)length);
    if (terminator)
        copy[length] = '\0';
    item->value = (uint64_t)(uintptr_t)copy;
    reader->cur += length;
    return 0;
}

static int32_t decode_bytes(cbor_reader *reader, cbor_item *item)
{
    return decode_string(reader, item, 0);
}

static int32_t decode_text(cbor_reader *reader, cbor_item *item)
{
    return decode_string(reader, item, 1);
}

static int32_t decode_count(cbor_reader *reader, cbor_item *item)
{
    uint64_t count;

    if (read_argument(reader, item, &count) < 0)
        return -1;
    item->length = (int64_t)count;
    return 0;
}

static int32_t decode_indefinite(cbor_reader *reader, cbor_item *item)
{
    item->length = -1;
    reader->cur++;
    reader->in_indefinite = 1;
    return 0;
}

static int32_t decode_break(cbor_reader *reader, cbor_item *item)
{
    (void)item;
    reader->cur++;
    reader->in_indefinite = 0;
    return 0;
}

static int32_t decode_skip(cbor_reader *reader, cbor_item *item)
{
    (void)item;
    reader->cur++;
    return 0;
}

static int32_t decode_unimplemented(cbor_reader *reader, cbor_item *item)
{
    fprintf(stderr, "Unimplemented CBOR code: %02x\n", (unsigned)item->initial_byte);
    reader->cur++;
    return 0;
}

static int32_t decode_half(cbor_reader *reader, cbor_item *item)
{
    uint64_t half, bits;
    uint32_t exponent, fraction;

    reader->cur++;
    if (read_fixed(reader, sizeof(uint16_t), &half) < 0)
        return -1;
    exponent = (uint32_t)(half & HALF_EXPONENT_MASK) >> HALF_EXPONENT_SHIFT;
    fraction = (uint32_t)(half & HALF_FRACTION_MASK);
    if (exponent == HALF_EXPONENT_MAX)
        bits = fraction == 0 ? DOUBLE_INFINITY_BITS : DOUBLE_NEGATIVE_NAN_BITS;
    else if (exponent == 0) /* subnormal: no hidden bit, exponent as for 1 */
        bits = double_to_bits(ldexp(fraction, 1 - HALF_EXPONENT_BIAS - HALF_FRACTION_BITS));
    else
        bits = double_to_bits(ldexp(fraction | HALF_HIDDEN_BIT,
                                    (int)exponent - HALF_EXPONENT_BIAS - HALF_FRACTION_BITS));
    if (half >> HALF_SIGN_SHIFT)
        bits ^= DOUBLE_SIGN_MASK;
    item->value = bits;
    return 0;
}

static int32_t decode_single(cbor_reader *reader, cbor_item *item)
{
    uint64_t pattern;
    uint32_t bits;
    float single;

    reader->cur++;
    if (read_fixed(reader, sizeof(uint32_t), &pattern) < 0)
        return -1;
    if (pattern == SINGLE_INFINITY_PATTERN) {
        item->value = DOUBLE_INFINITY_BITS;
    } else if (pattern == SINGLE_NAN_PATTERN) {
        item->value = DOUBLE_NEGATIVE_NAN_BITS;
    } else {
        bits = (uint32_t)pattern;
        memcpy(&single, &bits, sizeof single);
        item->value = double_to_bits((double)single);
    }
    return 0;
}

static int32_t decode_double(cbor_reader *reader, cbor_item *item)
{
    reader->cur++;
    return read_fixed(reader, sizeof(uint64_t), &item->value);
}

#include "decode_table.h"

cbor_item *read_item(cbor_reader *reader)
{
    cbor_item *item;
    uint8_t initial_byte;

    if (reader_remaining(reader) <= 0)
        return NULL;
    initial_byte = *reader->cur;
    item = calloc(1, sizeof *item);
    if (item == NULL)
        return NULL;
    item->initial_byte = initial_byte;
    item->major_type = initial_byte >> CBOR_MAJOR_SHIFT;
    if (decode_table[initial_byte](reader, item) < 0) {
        item_free(item);
        return NULL;
    }
    return item;
}

void item_free(cbor_item *item)
{
    if (item == NULL)
        return;
    if (item->major_type == CBOR_MAJOR_BYTES || item->major_type == CBOR_MAJOR_TEXT)
        free((void *)(uintptr_t)item->value);
    free(item);
}
