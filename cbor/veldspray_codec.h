// The CBOR codec: a growable output buffer with item writers, a float writer
// that picks the shortest exact width, and a one-item reader.
//
// Plain records allocated with the C allocator; every operation takes its
// record first, reports failure through an integer status and never throws.
// Nothing here depends on the Python interpreter.
#pragma once

#include <array>
#include <cstdint>
#include <type_traits>

namespace veldspray::cbor {

// Major types: the high three bits of an initial byte.
inline constexpr int major_uint = 0;
inline constexpr int major_negint = 1;
inline constexpr int major_bytes = 2;
inline constexpr int major_text = 3;
inline constexpr int major_array = 4;
inline constexpr int major_map = 5;
inline constexpr int major_tag = 6;
inline constexpr int major_simple = 7;
inline constexpr int major_shift = 5;

// Additional information: the low five bits of an initial byte.
inline constexpr unsigned ai_mask = 0x1f;
inline constexpr unsigned ai_immediate_max = 23; // 0..23: the argument is the value itself
inline constexpr unsigned ai_arg8 = 24;          // a 1-byte argument follows
inline constexpr unsigned ai_arg16 = 25;         // a 2-byte argument follows
inline constexpr unsigned ai_arg32 = 26;         // a 4-byte argument follows
inline constexpr unsigned ai_arg64 = 27;         // an 8-byte argument follows
inline constexpr unsigned ai_indefinite = 31;    // indefinite length, or the break code

// Simple values and float heads of major type 7.
inline constexpr std::uint8_t byte_false = 0xf4;
inline constexpr std::uint8_t byte_true = 0xf5;
inline constexpr std::uint8_t byte_null = 0xf6;
inline constexpr std::uint8_t byte_undefined = 0xf7;
inline constexpr std::uint8_t byte_half = 0xf9;
inline constexpr std::uint8_t byte_single = 0xfa;
inline constexpr std::uint8_t byte_double = 0xfb;
inline constexpr std::uint8_t byte_break = 0xff;

// A length or count with all bits set asks the string, array and map writers
// for the indefinite-length start byte instead of a counted head.
inline constexpr std::uint64_t UNSIZED = UINT64_MAX;

// ---- Output buffer and item writers -----------------------------------------

// The bytes written so far. The block is always exactly `size` bytes long:
// every append resizes it to the new total.
struct cbor_buffer {
    std::uint8_t *data;
    std::uint64_t size;
};

// Returns an empty buffer (data null, size 0), or null when out of memory.
cbor_buffer *buffer_new() noexcept;
// Releases the block and the record; null is accepted.
void buffer_free(cbor_buffer *buffer) noexcept;

// Append operations and writers return 0 when every byte was appended and -1
// otherwise (null buffer, or the block could not grow). A failed append keeps
// `size`, but a writer that appends in steps (a head and its argument bytes, a
// string's head and content) keeps the steps done before the failing one, so
// a failed item may be left in part.
std::int32_t buffer_put_byte(cbor_buffer *buffer, int byte) noexcept;
std::int32_t buffer_put_bytes(cbor_buffer *buffer, const void *source, std::uint64_t length) noexcept;

std::int32_t write_initial(cbor_buffer *buffer, std::uint8_t initial_byte, std::uint64_t argument) noexcept;
std::int32_t write_head(cbor_buffer *buffer, int major_type, std::uint64_t argument) noexcept;
std::int32_t write_uint(cbor_buffer *buffer, std::uint64_t value) noexcept;
std::int32_t write_negint(cbor_buffer *buffer, std::int64_t value) noexcept;
std::int32_t write_bytes(cbor_buffer *buffer, const void *source, std::uint64_t length) noexcept;
std::int32_t write_text(cbor_buffer *buffer, const char *source, std::uint64_t length) noexcept;
std::int32_t write_array_header(cbor_buffer *buffer, std::uint64_t count) noexcept;
std::int32_t write_map_header(cbor_buffer *buffer, std::uint64_t count) noexcept;
std::int32_t write_false(cbor_buffer *buffer) noexcept;
std::int32_t write_true(cbor_buffer *buffer) noexcept;
std::int32_t write_null(cbor_buffer *buffer) noexcept;
std::int32_t write_break(cbor_buffer *buffer) noexcept;

// ---- Float writer -----------------------------------------------------------

// Appends x in the narrowest of half, single and double precision that reads
// back as exactly x, half precision only for zeros and normal half-precision
// numbers (NaN and the infinities in fixed half forms). Returns the
// status of the last write to `buffer`: 0/-1 for the non-finite forms, 1/-1 for
// a finite number, -1 without writing when the proof could not be made.
std::int32_t write_float(cbor_buffer *buffer, double x) noexcept;
// The width writers return 1 on success and -1 on failure.
std::int32_t write_half(cbor_buffer *buffer, double x) noexcept;
std::int32_t write_single(cbor_buffer *buffer, double x) noexcept;
std::int32_t write_double(cbor_buffer *buffer, double x) noexcept;

// ---- Item reader ------------------------------------------------------------

// A cursor over a byte run that it does not own.
struct cbor_reader {
    const std::uint8_t *data;
    std::uint64_t size;
    const std::uint8_t *cur;
    std::int32_t in_indefinite; // 1 after an indefinite-length start, 0 after a break
};

// One decoded item head. `value` holds, by kind: the unsigned argument (major
// type 0), its bitwise complement (major type 1), the bit pattern of a double
// (float items), or the address of an owned copy of a definite byte or text
// string (text copies carry a terminating NUL). `length` is the string length,
// the element or pair count, or -1 for an indefinite-length start.
struct cbor_item {
    std::uint8_t initial_byte;
    std::int32_t major_type;
    std::uint64_t value;
    std::int64_t length;
};

// The records come from calloc and go back through free, so they must stay
// types that need no constructor or destructor.
static_assert(std::is_trivial_v<cbor_buffer> && std::is_trivial_v<cbor_reader> && std::is_trivial_v<cbor_item>);

// Returns a reader over `size` bytes at `data`, or null when out of memory.
cbor_reader *reader_new(const void *data, std::uint64_t size) noexcept;
// Releases the reader only; the run and the items already read are untouched.
void reader_free(cbor_reader *reader) noexcept;
// Unread bytes, as a signed 32-bit count: runs must be shorter than 2^31 bytes.
std::int32_t reader_remaining(const cbor_reader *reader) noexcept;
// The next item, or null at the end of the run, for a truncated item, or when
// out of memory.
cbor_item *read_item(cbor_reader *reader) noexcept;
// Releases an item and its string copy; null is accepted.
void item_free(cbor_item *item) noexcept;

// A handler consumes one item head at the cursor and fills `item`; it returns
// 0 on success and -1 on failure. The table holds one per initial byte.
using cbor_decode_handler = std::int32_t (*)(cbor_reader *reader, cbor_item *item) noexcept;
extern const std::array<cbor_decode_handler, 256> decode_table;

} // namespace veldspray::cbor
