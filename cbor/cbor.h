/*
 * The CBOR codec: a growable output buffer with item writers, a float writer
 * that picks the shortest exact width, and a one-item reader.
 *
 * Plain C records allocated with the C allocator; every operation takes its
 * record first and reports failure through an integer status. Nothing here
 * depends on the Python interpreter.
 */
#ifndef VELDSPRAY_CBOR_H
#define VELDSPRAY_CBOR_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Major types: the high three bits of an initial byte. */
enum cbor_major_type {
    CBOR_MAJOR_UINT = 0,
    CBOR_MAJOR_NEGINT = 1,
    CBOR_MAJOR_BYTES = 2,
    CBOR_MAJOR_TEXT = 3,
    CBOR_MAJOR_ARRAY = 4,
    CBOR_MAJOR_MAP = 5,
    CBOR_MAJOR_TAG = 6,
    CBOR_MAJOR_SIMPLE = 7
};

/* Additional information: the low five bits of an initial byte. */
enum cbor_additional_info {
    CBOR_AI_IMMEDIATE_MAX = 23, /* 0..23: the argument is the value itself */
    CBOR_AI_ARG8 = 24,          /* a 1-byte argument follows */
    CBOR_AI_ARG16 = 25,         /* a 2-byte argument follows */
    CBOR_AI_ARG32 = 26,         /* a 4-byte argument follows */
    CBOR_AI_ARG64 = 27,         /* an 8-byte argument follows */
    CBOR_AI_INDEFINITE = 31     /* indefinite length, or the break code */
};

enum {
    CBOR_MAJOR_SHIFT = 5,
    CBOR_AI_MASK = 0x1f
};

/* Simple values and float heads of major type 7. */
enum cbor_simple_byte {
    CBOR_FALSE = 0xf4,
    CBOR_TRUE = 0xf5,
    CBOR_NULL = 0xf6,
    CBOR_HALF = 0xf9,
    CBOR_SINGLE = 0xfa,
    CBOR_DOUBLE = 0xfb,
    CBOR_BREAK = 0xff
};

/* A length or count with all bits set asks the string, array and map writers
 * for the indefinite-length start byte instead of a counted head. */
#define UNSIZED UINT64_MAX

/* ---- Output buffer and item writers ------------------------------------ */

/* The bytes written so far. The block is always exactly `size` bytes long:
 * every append resizes it to the new total. */
typedef struct cbor_buffer {
    uint8_t *data;
    uint64_t size;
} cbor_buffer;

/* Returns an empty buffer (data NULL, size 0), or NULL when out of memory. */
cbor_buffer *buffer_new(void);
/* Releases the block and the record; NULL is accepted. */
void buffer_free(cbor_buffer *buffer);

/* Append operations and writers return 0 when every byte was appended and -1
 * otherwise (NULL buffer, or the block could not grow; `size` is then kept). */
int32_t buffer_put_byte(cbor_buffer *buffer, int byte);
int32_t buffer_put_bytes(cbor_buffer *buffer, const void *source, uint64_t length);

int32_t write_initial(cbor_buffer *buffer, uint8_t initial_byte, uint64_t argument);
int32_t write_head(cbor_buffer *buffer, int major_type, uint64_t argument);
int32_t write_uint(cbor_buffer *buffer, uint64_t value);
int32_t write_negint(cbor_buffer *buffer, int64_t value);
int32_t write_bytes(cbor_buffer *buffer, const void *source, uint64_t length);
int32_t write_text(cbor_buffer *buffer, const char *source, uint64_t length);
int32_t write_array_header(cbor_buffer *buffer, uint64_t count);
int32_t write_map_header(cbor_buffer *buffer, uint64_t count);
int32_t write_false(cbor_buffer *buffer);
int32_t write_true(cbor_buffer *buffer);
int32_t write_null(cbor_buffer *buffer);
int32_t write_break(cbor_buffer *buffer);

/* ---- Float writer ------------------------------------------------------ */

/* Appends x in the narrowest of half, single and double precision that reads
 * back as exactly x (NaN and the infinities in fixed half forms). Returns the
 * status of the last write to `buffer`: 0/-1 for the non-finite forms, 1/-1 for
 * a finite number, -1 without writing when the proof could not be made. */
int32_t write_float(cbor_buffer *buffer, double x);
/* The width writers return 1 on success and -1 on failure. */
int32_t write_half(cbor_buffer *buffer, double x);
int32_t write_single(cbor_buffer *buffer, double x);
int32_t write_double(cbor_buffer *buffer, double x);

/* ---- Item reader ------------------------------------------------------- */

/* A cursor over a byte run that it does not own. */
typedef struct cbor_reader {
    const uint8_t *data;
    uint64_t size;
    const uint8_t *cur;
    int32_t in_indefinite; /* 1 after an indefinite-length start, 0 after a break */
} cbor_reader;

/* One decoded item head. `value` holds, by kind: the unsigned argument (major
 * type 0), its bitwise complement (major type 1), the bit pattern of a double
 * (float items), or the address of an owned copy of a definite byte or text
 * string (text copies carry a terminating NUL). `length` is the string length,
 * the element or pair count, or -1 for an indefinite-length start. */
typedef struct cbor_item {
    uint8_t initial_byte;
    int32_t major_type;
    uint64_t value;
    int64_t length;
} cbor_item;

/* Returns a reader over `size` bytes at `data`, or NULL when out of memory. */
cbor_reader *reader_new(const void *data, uint64_t size);
/* Releases the reader only; the run and the items already read are untouched. */
void reader_free(cbor_reader *reader);
/* Unread bytes, as a signed 32-bit count: runs must be shorter than 2^31 bytes. */
int32_t reader_remaining(const cbor_reader *reader);
/* The next item, or NULL at the end of the run, for a truncated item, or when
 * out of memory. */
cbor_item *read_item(cbor_reader *reader);
/* Releases an item and its string copy; NULL is accepted. */
void item_free(cbor_item *item);

/* A handler consumes one item head at the cursor and fills `item`;
 * it returns 0 on success and -1 on failure. */
typedef int32_t (*cbor_decode_handler)(cbor_reader *reader, cbor_item *item);
extern const cbor_decode_handler decode_table[];

#ifdef __cplusplus
}
#endif

#endif /* VELDSPRAY_CBOR_H */
