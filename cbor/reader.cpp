// The item reader: one table look-up per item, one handler per initial byte.
// Every bound test goes through reader_remaining, so no handler reads or moves
// past the end of the run, whatever the bytes say.
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ieee754.h"
#include "veldspray_codec.h"

namespace veldspray::cbor {

namespace {

// The two single-precision bit patterns that are mapped to fixed doubles
// before any widening.
constexpr std::uint32_t single_infinity_pattern = 0x7f800000;
constexpr std::uint32_t single_nan_pattern = 0x7ffc0000;

// Reads `count` big-endian bytes at the cursor and moves past them, or fails
// without moving when fewer remain.
std::int32_t read_fixed(cbor_reader *reader, std::int32_t count, std::uint64_t *out) noexcept
{
    std::uint64_t result = 0;

    if (reader_remaining(reader) < count)
        return -1;
    for (std::int32_t i = 0; i < count; i++)
        result = result << 8 | reader->cur[i];
    reader->cur += count;
    *out = result;
    return 0;
}

// Consumes the initial byte and the argument it announces. Only reached for
// additional information 0..27.
std::int32_t read_argument(cbor_reader *reader, const cbor_item *item, std::uint64_t *argument) noexcept
{
    const unsigned additional_info = item->initial_byte & ai_mask;

    reader->cur++;
    if (additional_info <= ai_immediate_max) {
        *argument = additional_info;
        return 0;
    }
    // ai_arg8..ai_arg64 are consecutive and carry 1, 2, 4 and 8 argument bytes.
    return read_fixed(reader, 1 << (additional_info - ai_arg8), argument);
}

std::int32_t decode_uint(cbor_reader *reader, cbor_item *item) noexcept
{
    return read_argument(reader, item, &item->value);
}

std::int32_t decode_negint(cbor_reader *reader, cbor_item *item) noexcept
{
    if (read_argument(reader, item, &item->value) < 0)
        return -1;
    item->value = ~item->value;
    return 0;
}

// Copies a definite string's content; `terminator` is 1 for text, whose copy
// ends in a NUL, and 0 for bytes.
std::int32_t decode_string(cbor_reader *reader, cbor_item *item, std::size_t terminator) noexcept
{
    std::uint64_t length;

    if (read_argument(reader, item, &length) < 0)
        return -1;
    const std::int32_t remaining = reader_remaining(reader);
    if (remaining < 0 || length > static_cast<std::uint64_t>(remaining))
        return -1;
    item->length = static_cast<std::int64_t>(length);
    const std::size_t block_size = static_cast<std::size_t>(length) + terminator; // length < 2^31: fits any size_t
    auto *copy = static_cast<std::uint8_t *>(std::malloc(block_size));
    if (copy == nullptr && block_size != 0) // malloc(0) may legitimately give null
        return -1;
    if (length != 0)
        std::memcpy(copy, reader->cur, static_cast<std::size_t>(length));
    if (terminator)
        copy[length] = '\0';
    item->value = reinterpret_cast<std::uintptr_t>(copy);
    reader->cur += length;
    return 0;
}

std::int32_t decode_bytes(cbor_reader *reader, cbor_item *item) noexcept
{
    return decode_string(reader, item, 0);
}

std::int32_t decode_text(cbor_reader *reader, cbor_item *item) noexcept
{
    return decode_string(reader, item, 1);
}

std::int32_t decode_count(cbor_reader *reader, cbor_item *item) noexcept
{
    std::uint64_t count;

    if (read_argument(reader, item, &count) < 0)
        return -1;
    item->length = static_cast<std::int64_t>(count);
    return 0;
}

std::int32_t decode_indefinite(cbor_reader *reader, cbor_item *item) noexcept
{
    item->length = -1;
    reader->cur++;
    reader->in_indefinite = 1;
    return 0;
}

std::int32_t decode_break(cbor_reader *reader, cbor_item *) noexcept
{
    reader->cur++;
    reader->in_indefinite = 0;
    return 0;
}

std::int32_t decode_skip(cbor_reader *reader, cbor_item *) noexcept
{
    reader->cur++;
    return 0;
}

std::int32_t decode_unimplemented(cbor_reader *reader, cbor_item *item) noexcept
{
    std::fprintf(stderr, "Unimplemented CBOR code: %02x\n", static_cast<unsigned>(item->initial_byte));
    reader->cur++;
    return 0;
}

// Consumes a float item's initial byte and its big-endian payload.
std::int32_t read_float_payload(cbor_reader *reader, std::int32_t width, std::uint64_t *payload) noexcept
{
    reader->cur++;
    return read_fixed(reader, width, payload);
}

std::int32_t decode_half(cbor_reader *reader, cbor_item *item) noexcept
{
    std::uint64_t half;

    if (read_float_payload(reader, sizeof(std::uint16_t), &half) < 0)
        return -1;
    const std::uint32_t exponent = static_cast<std::uint32_t>(half & half_exponent_mask) >> half_exponent_shift;
    const std::uint32_t fraction = static_cast<std::uint32_t>(half & half_fraction_mask);
    std::uint64_t bits;
    if (exponent == half_exponent_max)
        bits = fraction == 0 ? double_infinity_bits : double_negative_nan_bits;
    else if (exponent == 0) // subnormal: no hidden bit, exponent as for 1
        bits = double_to_bits(std::ldexp(fraction, 1 - half_exponent_bias - half_fraction_bits));
    else
        bits = double_to_bits(std::ldexp(fraction | half_hidden_bit,
                                         static_cast<int>(exponent) - half_exponent_bias - half_fraction_bits));
    if (half >> half_sign_shift)
        bits ^= double_sign_mask;
    item->value = bits;
    return 0;
}

std::int32_t decode_single(cbor_reader *reader, cbor_item *item) noexcept
{
    std::uint64_t pattern;

    if (read_float_payload(reader, sizeof(std::uint32_t), &pattern) < 0)
        return -1;
    if (pattern == single_infinity_pattern) {
        item->value = double_infinity_bits;
    } else if (pattern == single_nan_pattern) {
        item->value = double_negative_nan_bits;
    } else {
        const auto bits = static_cast<std::uint32_t>(pattern);
        float single;
        std::memcpy(&single, &bits, sizeof single);
        item->value = double_to_bits(static_cast<double>(single));
    }
    return 0;
}

std::int32_t decode_double(cbor_reader *reader, cbor_item *item) noexcept
{
    return read_float_payload(reader, sizeof(std::uint64_t), &item->value);
}

// The handler for an initial byte, from its major type and additional
// information. Arguments of 0..27 are read as the additional information
// says; 28..30 are reserved and skipped, as are tags (their number left
// unread) and the simple values that carry no content.
constexpr cbor_decode_handler handler_for(std::uint8_t initial_byte) noexcept
{
    const int major_type = initial_byte >> major_shift;
    const unsigned additional_info = initial_byte & ai_mask;
    const bool has_argument = additional_info <= ai_arg64;

    switch (major_type) {
    case major_uint:
        return has_argument ? decode_uint : decode_skip;
    case major_negint:
        return has_argument ? decode_negint : decode_skip;
    case major_bytes:
    case major_text:
    case major_array:
    case major_map:
        if (additional_info == ai_indefinite)
            return decode_indefinite;
        if (!has_argument)
            return decode_skip;
        return major_type == major_bytes ? decode_bytes : major_type == major_text ? decode_text : decode_count;
    case major_tag:
        return decode_skip;
    default:
        break;
    }
    switch (initial_byte) {
    case byte_false:
    case byte_true:
    case byte_null:
    case byte_undefined:
        return decode_skip;
    case byte_half:
        return decode_half;
    case byte_single:
        return decode_single;
    case byte_double:
        return decode_double;
    case byte_break:
        return decode_break;
    default:
        // simple values 0..19 and the one-byte simple value form are not read;
        // 0xfc..0xfe are reserved and skipped
        return additional_info > ai_arg64 ? decode_skip : decode_unimplemented;
    }
}

constexpr std::array<cbor_decode_handler, 256> make_decode_table() noexcept
{
    std::array<cbor_decode_handler, 256> table{};
    for (std::size_t byte = 0; byte < table.size(); ++byte)
        table[byte] = handler_for(static_cast<std::uint8_t>(byte));
    return table;
}

} // namespace

constexpr std::array<cbor_decode_handler, 256> decode_table = make_decode_table();

static_assert(decode_table.size() == 256);
static_assert(decode_table[0x17] == decode_uint && decode_table[0x1b] == decode_uint &&
              decode_table[0x1c] == decode_skip);
static_assert(decode_table[0x3b] == decode_negint && decode_table[0x3f] == decode_skip);
static_assert(decode_table[0x5b] == decode_bytes && decode_table[0x5f] == decode_indefinite);
static_assert(decode_table[0x60] == decode_text && decode_table[0x7e] == decode_skip);
static_assert(decode_table[0x80] == decode_count && decode_table[0xbf] == decode_indefinite);
static_assert(decode_table[0xc0] == decode_skip && decode_table[0xdf] == decode_skip);
static_assert(decode_table[0xe0] == decode_unimplemented && decode_table[0xf3] == decode_unimplemented);
static_assert(decode_table[0xf7] == decode_skip && decode_table[0xf8] == decode_unimplemented);
static_assert(decode_table[0xf9] == decode_half && decode_table[0xfa] == decode_single &&
              decode_table[0xfb] == decode_double);
static_assert(decode_table[0xfc] == decode_skip && decode_table[0xff] == decode_break);

cbor_reader *reader_new(const void *data, std::uint64_t size) noexcept
{
    auto *reader = static_cast<cbor_reader *>(std::calloc(1, sizeof(cbor_reader)));

    if (reader == nullptr)
        return nullptr;
    reader->data = static_cast<const std::uint8_t *>(data);
    reader->size = size;
    reader->cur = reader->data;
    return reader;
}

void reader_free(cbor_reader *reader) noexcept
{
    std::free(reader);
}

std::int32_t reader_remaining(const cbor_reader *reader) noexcept
{
    const auto read = static_cast<std::uint64_t>(reader->cur - reader->data);
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(reader->size - read));
}

cbor_item *read_item(cbor_reader *reader) noexcept
{
    if (reader_remaining(reader) <= 0)
        return nullptr;
    const std::uint8_t initial_byte = *reader->cur;
    auto *item = static_cast<cbor_item *>(std::calloc(1, sizeof(cbor_item)));
    if (item == nullptr)
        return nullptr;
    item->initial_byte = initial_byte;
    item->major_type = initial_byte >> major_shift;
    if (decode_table[initial_byte](reader, item) < 0) {
        item_free(item);
        return nullptr;
    }
    return item;
}

void item_free(cbor_item *item) noexcept
{
    if (item == nullptr)
        return;
    if (item->major_type == major_bytes || item->major_type == major_text)
        std::free(reinterpret_cast<void *>(static_cast<std::uintptr_t>(item->value)));
    std::free(item);
}

} // namespace veldspray::cbor
