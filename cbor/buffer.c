/*
 * The output buffer and the head writers. The block is kept at exactly the
 * bytes written: each append reallocates it to the new total.
 */
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "cbor.h"

cbor_buffer *buffer_new(void)
{
    return calloc(1, sizeof(cbor_buffer));
}

void buffer_free(cbor_buffer *buffer)
{
    if (buffer == NULL)
        return;
    free(buffer->data);
    free(buffer);
}

/* Resizes the block to hold `length` more bytes and returns where they go, or
 * NULL with the buffer untouched when the total would not fit or realloc
 * fails. No object may be larger than PTRDIFF_MAX bytes, so no block is.
 * `length` must not be 0: realloc of 0 bytes may free the block. */
static uint8_t *buffer_extend(cbor_buffer *buffer, uint64_t length)
{
    uint8_t *data;

    if (length > (uint64_t)PTRDIFF_MAX - buffer->size)
        return NULL;
    data = realloc(buffer->data, (size_t)(buffer->size + length));
    if (data == NULL)
        return NULL;
    buffer->data = data;
    return data + buffer->size;
}

int32_t buffer_put_byte(cbor_buffer *buffer, int byte)
{
    uint8_t *slot;

    if (buffer == NULL || (slot = buffer_extend(buffer, 1)) == NULL)
        return -1;
    *slot = (uint8_t)byte;
    buffer->size += 1;
    return 0;
}

int32_t buffer_put_bytes(cbor_buffer *buffer, const void *source, uint64_t length)
{
    uint8_t *slot;

    if (buffer == NULL)
        return -1;
    if (length == 0)
        return 0;
    if ((slot = buffer_extend(buffer, length)) == NULL)
        return -1;
    memcpy(slot, source, (size_t)length);
    buffer->size += length;
    return 0;
}

int32_t write_initial(cbor_buffer *buffer, uint8_t initial_byte, uint64_t argument)
{
    unsigned additional_info = initial_byte & CBOR_AI_MASK;
    unsigned count;

    if (additional_info < CBOR_AI_ARG8 || additional_info > CBOR_AI_ARG64)
        return buffer_put_byte(buffer, initial_byte | (uint8_t)argument);

    /* ARG8..ARG64 are consecutive and carry 1, 2, 4 and 8 argument bytes. */
    count = 1u << (additional_info - CBOR_AI_ARG8);
    if (buffer_put_byte(buffer, initial_byte) < 0)
        return -1;
    while (count-- > 0)
        if (buffer_put_byte(buffer, (uint8_t)(argument >> (8 * count))) < 0)
            return -1;
    return 0;
}

int32_t write_head(cbor_buffer *buffer, int major_type, uint64_t argument)
{
    uint8_t additional_info;

    if (argument <= CBOR_AI_IMMEDIATE_MAX)
        additional_info = (uint8_t)argument;
    else if (argument <= UINT8_MAX)
        additional_info = CBOR_AI_ARG8;
    else if (argument <= UINT16_MAX)
        additional_info = CBOR_AI_ARG16;
    else if (argument <= UINT32_MAX)
        additional_info = CBOR_AI_ARG32;
    else
        additional_info = CBOR_AI_ARG64;
    return write_initial(buffer, (uint8_t)(major_type << CBOR_MAJOR_SHIFT | additional_info), argument);
}

static int32_t write_indefinite_start(cbor_buffer *buffer, int major_type)
{
    return buffer_put_byte(buffer, major_type << CBOR_MAJOR_SHIFT | CBOR_AI_INDEFINITE);
}

static int32_t write_string(cbor_buffer *buffer, int major_type, const void *source, uint64_t length)
{
    if (length == UNSIZED)
        return write_indefinite_start(buffer, major_type);
    if (write_head(buffer, major_type, length) < 0)
        return -1;
    return buffer_put_bytes(buffer, source, length);
}

static int32_t write_container(cbor_buffer *buffer, int major_type, uint64_t count)
{
    if (count == UNSIZED)
        return write_indefinite_start(buffer, major_type);
    return write_head(buffer, major_type, count);
}

int32_t write_uint(cbor_buffer *buffer, uint64_t value)
{
    return write_head(buffer, CBOR_MAJOR_UINT, value);
}

int32_t write_negint(cbor_buffer *buffer, int64_t value)
{
    return write_head(buffer, CBOR_MAJOR_NEGINT, ~(uint64_t)value);
}

int32_t write_bytes(cbor_buffer *buffer, const void *source, uint64_t length)
{
    return write_string(buffer, CBOR_MAJOR_BYTES, source, length);
}

int32_t write_text(cbor_buffer *buffer, const char *source, uint64_t length)
{
    return write_string(buffer, CBOR_MAJOR_TEXT, source, length);
}

int32_t write_array_header(cbor_buffer *buffer, uint64_t count)
{
    return write_container(buffer, CBOR_MAJOR_ARRAY, count);
}

int32_t write_map_header(cbor_buffer *buffer, uint64_t count)
{
    return write_container(buffer, CBOR_MAJOR_MAP, count);
}

int32_t write_false(cbor_buffer *buffer)
{
    return buffer_put_byte(buffer, CBOR_FALSE);
}

int32_t write_true(cbor_buffer *buffer)
{
    return buffer_put_byte(buffer, CBOR_TRUE);
}

int32_t write_null(cbor_buffer *buffer)
{
    return buffer_put_byte(buffer, CBOR_NULL);
}

int32_t write_break(cbor_buffer *buffer)
{
    return buffer_put_byte(buffer, CBOR_BREAK);
}
