// Reads arbitrary bytes item by item until the reader returns none, checking
// each item against an independent decoding of its head: the cursor stays
// within the run and moves by exactly the item's size, arguments and float
// values match, and string copies hold exactly the declared content.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fuzz_check.h"
#include "ieee754.h"
#include "veldspray_codec.h"

using namespace veldspray::cbor;

namespace {

// Argument bytes announced by an additional information of 24..27.
unsigned argument_size(unsigned additional_info)
{
    return additional_info < ai_arg8 ? 0 : 1u << (additional_info - ai_arg8);
}

uint64_t big_endian(const uint8_t *at, unsigned count)
{
    uint64_t result = 0;
    for (unsigned i = 0; i < count; ++i)
        result = result << 8 | at[i];
    return result;
}

bool has_argument(unsigned major, unsigned additional_info)
{
    return major <= major_map && additional_info <= ai_arg64;
}

// The decoded value of a float item, as an exact reference computed here.
double reference_float(const uint8_t *at, unsigned width)
{
    if (width == 2) {
        unsigned half = static_cast<unsigned>(big_endian(at, 2));
        unsigned exponent = (half >> 10) & 0x1f, fraction = half & 0x3ff;
        double magnitude = exponent == 0    ? std::ldexp(fraction, -24)
                           : exponent == 31 ? (fraction ? NAN : INFINITY)
                                            : std::ldexp(fraction + 1024, static_cast<int>(exponent) - 25);
        return half >> 15 ? -magnitude : magnitude;
    }
    if (width == 4) {
        uint32_t bits = static_cast<uint32_t>(big_endian(at, 4));
        float single;
        std::memcpy(&single, &bits, sizeof single);
        return single;
    }
    return bits_to_double(big_endian(at, 8));
}

// Checks one returned item that started at `start`, the cursor now at `end`.
void check_item(const cbor_item *item, const uint8_t *start, const uint8_t *end)
{
    const uint8_t initial_byte = *start;
    const unsigned major = initial_byte >> 5, additional_info = initial_byte & 0x1f;
    const uint64_t consumed = static_cast<uint64_t>(end - start);

    FUZZ_CHECK(item->initial_byte == initial_byte && item->major_type == static_cast<int32_t>(major));
    if (has_argument(major, additional_info)) {
        const unsigned size = argument_size(additional_info);
        const uint64_t argument = size ? big_endian(start + 1, size) : additional_info;
        switch (major) {
        case major_uint:
            FUZZ_CHECK(item->value == argument && item->length == 0 && consumed == 1 + size);
            break;
        case major_negint:
            FUZZ_CHECK(item->value == ~argument && item->length == 0 && consumed == 1 + size);
            break;
        case major_bytes:
        case major_text: {
            FUZZ_CHECK(item->length >= 0 && static_cast<uint64_t>(item->length) == argument);
            FUZZ_CHECK(consumed == 1 + size + argument);
            const uint8_t *copy = reinterpret_cast<const uint8_t *>(static_cast<uintptr_t>(item->value));
            FUZZ_CHECK(copy != nullptr || argument == 0);
            // The copy's block is exactly as long as declared (plus the NUL
            // of text): the address sanitizer reports any shorter block here.
            if (argument)
                FUZZ_CHECK(std::memcmp(copy, start + 1 + size, argument) == 0);
            if (major == major_text)
                FUZZ_CHECK(copy[argument] == 0);
            break;
        }
        default: /* arrays and maps */
            FUZZ_CHECK(item->value == 0 && static_cast<uint64_t>(item->length) == argument && consumed == 1 + size);
        }
        return;
    }
    if (initial_byte >= byte_half && initial_byte <= byte_double) {
        const unsigned width = 2u << (initial_byte - byte_half);
        const double expected = reference_float(start + 1, width), decoded = bits_to_double(item->value);
        FUZZ_CHECK(consumed == 1 + width);
        FUZZ_CHECK(std::isnan(expected) ? std::isnan(decoded) : decoded == expected);
        FUZZ_CHECK(std::signbit(expected) == std::signbit(decoded) || std::isnan(expected));
        return;
    }
    // Indefinite starts, break, simple values, tags and reserved codes take
    // their one initial byte only.
    FUZZ_CHECK(consumed == 1 && item->value == 0);
    const bool indefinite = major >= major_bytes && major <= major_map && additional_info == 31;
    FUZZ_CHECK(item->length == (indefinite ? -1 : 0));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    cbor_reader *reader = reader_new(data, size);
    FUZZ_CHECK(reader != nullptr);
    const uint8_t *const end = data + size;
    int32_t in_indefinite = 0;
    for (;;) {
        const uint8_t *start = reader->cur;
        cbor_item *item = read_item(reader);
        FUZZ_CHECK(reader->cur >= start && reader->cur <= end);
        FUZZ_CHECK(reader_remaining(reader) == static_cast<int32_t>(end - reader->cur));
        if (item == nullptr) {
            // Either the run is used up, or the item at `start` is truncated.
            FUZZ_CHECK(start == end ? reader->cur == end : reader->cur > start);
            FUZZ_CHECK(reader->in_indefinite == in_indefinite);
            break;
        }
        FUZZ_CHECK(start < end);
        check_item(item, start, reader->cur);
        if (*start == 0x5f || *start == 0x7f || *start == 0x9f || *start == 0xbf)
            in_indefinite = 1;
        else if (*start == byte_break)
            in_indefinite = 0;
        FUZZ_CHECK(reader->in_indefinite == in_indefinite);
        item_free(item);
    }
    reader_free(reader);
    return 0;
}
