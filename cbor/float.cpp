// Floats in the shortest exact width. Whether a narrower form is exact is not
// worked out arithmetically: all three forms are written to a scratch buffer
// and read back, and the narrowest one that decodes to the same number wins.
#include <cmath>
#include <cstdint>
#include <cstring>

#include "ieee754.h"
#include "veldspray_codec.h"

namespace veldspray::cbor {

namespace {

// Under round-to-nearest-even every double of at least this magnitude rounds
// to the single infinity: it is the midpoint between FLT_MAX (2^128 - 2^104)
// and 2^128, and ties go to 2^128 because FLT_MAX has an odd significand.
constexpr double single_overflow_threshold = 0x1.ffffffp127;

constexpr std::uint8_t nan_form[] = {byte_half, 0x7e, 0x00};
constexpr std::uint8_t positive_infinity_form[] = {byte_half, 0x7c, 0x00};
constexpr std::uint8_t negative_infinity_form[] = {byte_half, 0xfc, 0x00};

using width_writer = std::int32_t (*)(cbor_buffer *buffer, double x) noexcept;

// The single-precision bit pattern of x, rounded to nearest. Overflow is
// decided here because converting an out-of-range double to float is
// undefined behaviour.
std::uint32_t single_bits(double x) noexcept
{
    if (std::fabs(x) >= single_overflow_threshold)
        return (std::signbit(x) ? std::uint32_t{1} << single_sign_shift : 0) | single_exponent_mask;
    const float narrowed = static_cast<float>(x);
    std::uint32_t bits;
    std::memcpy(&bits, &narrowed, sizeof bits);
    return bits;
}

// Narrows the single pattern by truncating the fraction and re-biasing the
// exponent without a range test. Results outside the normal half range come
// out wrong, and the re-read rejects them.
std::uint16_t half_bits(double x) noexcept
{
    const std::uint32_t single = single_bits(x);
    const std::uint32_t sign = (single >> single_sign_shift) << half_sign_shift;
    const std::uint32_t exponent = (single & single_exponent_mask) >> single_exponent_shift;
    const std::uint32_t fraction = (single & single_fraction_mask) >> (single_fraction_bits - half_fraction_bits);

    if (exponent == single_exponent_max) // overflowed: the half infinity
        return static_cast<std::uint16_t>(sign | half_exponent_mask);
    if (exponent == 0) // zero or subnormal
        return static_cast<std::uint16_t>(sign | fraction);
    const std::uint32_t rebiased = (((exponent - single_exponent_bias) & single_exponent_max) + half_exponent_bias)
                                   << half_exponent_shift;
    return static_cast<std::uint16_t>(sign | rebiased | fraction);
}

// Appends the initial byte, then `width` bytes of `bits`, most significant
// first, as one run.
std::int32_t write_width(cbor_buffer *buffer, std::uint8_t initial_byte, std::uint64_t bits, unsigned width) noexcept
{
    std::uint8_t payload[sizeof bits];

    if (buffer_put_byte(buffer, initial_byte) < 0)
        return -1;
    for (unsigned i = 0; i < width; i++)
        payload[i] = static_cast<std::uint8_t>(bits >> (8 * (width - 1 - i)));
    return buffer_put_bytes(buffer, payload, width) < 0 ? -1 : 1;
}

double item_number(const cbor_item *item) noexcept
{
    return bits_to_double(item->value);
}

} // namespace

std::int32_t write_half(cbor_buffer *buffer, double x) noexcept
{
    return write_width(buffer, byte_half, half_bits(x), sizeof(std::uint16_t));
}

std::int32_t write_single(cbor_buffer *buffer, double x) noexcept
{
    return write_width(buffer, byte_single, single_bits(x), sizeof(std::uint32_t));
}

std::int32_t write_double(cbor_buffer *buffer, double x) noexcept
{
    return write_width(buffer, byte_double, double_to_bits(x), sizeof(std::uint64_t));
}

// Writes the three forms of x to scratch space, reads them back and picks the
// narrowest that decodes to the same number as the double form (-0.0 equals
// 0.0, a NaN equals nothing). If any allocation of this proof fails, nothing
// is written and the result is -1: a fallback width would hide the
// out-of-memory condition.
std::int32_t write_float(cbor_buffer *buffer, double x) noexcept
{
    if (std::isnan(x))
        return buffer_put_bytes(buffer, nan_form, sizeof nan_form);
    if (std::isinf(x))
        return buffer_put_bytes(buffer, x < 0 ? negative_infinity_form : positive_infinity_form,
                                sizeof positive_infinity_form);

    cbor_buffer *scratch = buffer_new();
    cbor_reader *reader = nullptr;
    cbor_item *half_item = nullptr, *single_item = nullptr, *double_item = nullptr;
    std::int32_t result = -1;
    if (write_half(scratch, x) == 1 && write_single(scratch, x) == 1 && write_double(scratch, x) == 1 &&
        (reader = reader_new(scratch->data, scratch->size)) != nullptr && (half_item = read_item(reader)) != nullptr &&
        (single_item = read_item(reader)) != nullptr && (double_item = read_item(reader)) != nullptr) {
        width_writer chosen;
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

} // namespace veldspray::cbor
