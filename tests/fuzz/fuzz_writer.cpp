// Turns the fuzz input into a sequence of writes (heads of every major type
// with boundary and random arguments, strings, container starts, simple values
// and floats), then reads the buffer back and checks every item: its initial
// byte, argument or content, and for floats the value and the narrowest exact
// width, each computed here independently of the codec.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "float_width.h"
#include "fuzz_check.h"
#include "ieee754.h"
#include "veldspray_codec.h"

using namespace veldspray::cbor;

namespace {

enum class kind { head, string, indefinite, simple, floating };

struct expected_item {
    kind what;
    uint8_t initial_byte;
    uint64_t argument = 0;          // heads; string length
    std::vector<uint8_t> content{}; // strings
    double number = 0;              // floats: the value that must read back
    unsigned width = 0;             // floats: payload bytes
};

// The shortest head for an argument: its additional information and size.
uint8_t additional_info_for(uint64_t argument)
{
    if (argument <= 23)
        return static_cast<uint8_t>(argument);
    if (argument <= UINT8_MAX)
        return ai_arg8;
    if (argument <= UINT16_MAX)
        return ai_arg16;
    if (argument <= UINT32_MAX)
        return ai_arg32;
    return ai_arg64;
}

uint64_t head_size(uint64_t argument)
{
    uint8_t ai = additional_info_for(argument);
    return ai < ai_arg8 ? 1 : 1 + (1u << (ai - ai_arg8));
}

const uint64_t boundaries[] = {
    0, 23, 24, 255, 256, 65535, 65536, UINT32_MAX, 1ull << 32, INT64_MAX, 1ull << 63, UINT64_MAX - 1, UINT64_MAX};

uint64_t pick_argument(FuzzedDataProvider &input)
{
    switch (input.ConsumeIntegralInRange(0, 3)) {
    case 0:
        return input.ConsumeIntegral<uint64_t>();
    case 1:
        return input.PickValueInArray(boundaries);
    case 2:
        return input.PickValueInArray(boundaries) + static_cast<uint64_t>(input.ConsumeIntegralInRange(-2, 2));
    default:
        return input.ConsumeIntegralInRange<uint64_t>(0, 30);
    }
}

// A double built from a significand of chosen bit count and an exponent, so
// that numbers exact in half and single precision come up often.
double pick_float(FuzzedDataProvider &input)
{
    if (input.ConsumeBool())
        return bits_to_double(input.ConsumeIntegral<uint64_t>());
    const int bits = input.ConsumeIntegralInRange(1, 54);
    const uint64_t significand = input.ConsumeIntegral<uint64_t>() >> (64 - bits);
    const int exponent = input.ConsumeIntegralInRange(-1100, 1030);
    const double magnitude = std::ldexp(static_cast<double>(significand | 1), exponent);
    return input.ConsumeBool() ? -magnitude : magnitude;
}

uint8_t float_head(unsigned width)
{
    return width == 2 ? byte_half : width == 4 ? byte_single : byte_double;
}

void check_read_back(const cbor_buffer *buffer, const std::vector<expected_item> &expected)
{
    cbor_reader *reader = reader_new(buffer->data, buffer->size);
    FUZZ_CHECK(reader != nullptr);
    for (const expected_item &want : expected) {
        const uint8_t *start = reader->cur;
        cbor_item *item = read_item(reader);
        FUZZ_CHECK(item != nullptr);
        FUZZ_CHECK(item->initial_byte == want.initial_byte && item->major_type == want.initial_byte >> 5);
        const uint64_t consumed = static_cast<uint64_t>(reader->cur - start);
        switch (want.what) {
        case kind::head:
            FUZZ_CHECK(consumed == head_size(want.argument));
            if (item->major_type == major_uint)
                FUZZ_CHECK(item->value == want.argument);
            else if (item->major_type == major_negint)
                FUZZ_CHECK(item->value == ~want.argument);
            else
                FUZZ_CHECK(static_cast<uint64_t>(item->length) == want.argument);
            break;
        case kind::string: {
            FUZZ_CHECK(consumed == head_size(want.argument) + want.argument);
            FUZZ_CHECK(static_cast<uint64_t>(item->length) == want.argument);
            const uint8_t *copy = reinterpret_cast<const uint8_t *>(static_cast<uintptr_t>(item->value));
            if (!want.content.empty())
                FUZZ_CHECK(std::memcmp(copy, want.content.data(), want.content.size()) == 0);
            break;
        }
        case kind::indefinite:
            FUZZ_CHECK(consumed == 1 && item->length == -1);
            break;
        case kind::simple:
            FUZZ_CHECK(consumed == 1);
            break;
        case kind::floating: {
            const double decoded = bits_to_double(item->value);
            FUZZ_CHECK(consumed == 1 + want.width);
            if (std::isnan(want.number)) {
                FUZZ_CHECK(std::isnan(decoded));
            } else {
                FUZZ_CHECK(decoded == want.number && std::signbit(decoded) == std::signbit(want.number));
            }
            break;
        }
        }
        item_free(item);
    }
    FUZZ_CHECK(read_item(reader) == nullptr && reader_remaining(reader) == 0);
    reader_free(reader);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider input(data, size);
    cbor_buffer *buffer = buffer_new();
    FUZZ_CHECK(buffer != nullptr);
    std::vector<expected_item> expected;

    for (int operations = 0; operations < 64 && input.remaining_bytes() > 0; ++operations) {
        const uint64_t size_before = buffer->size;
        int32_t status = 0, success = 0;
        expected_item item{kind::head, 0};
        switch (input.ConsumeIntegralInRange(0, 9)) {
        case 0: { // unsigned integer, or any head of the integer and container types
            const uint64_t argument = pick_argument(input);
            const int major = input.PickValueInArray({0, 0, 1, 4, 5});
            status = major == 0 ? write_uint(buffer, argument) : write_head(buffer, major, argument);
            item.initial_byte = static_cast<uint8_t>(major << 5 | additional_info_for(argument));
            item.argument = argument;
            break;
        }
        case 1: {                                                // negative integer
            const uint64_t argument = pick_argument(input) >> 1; // below 2^63: a negative int64
            status = write_negint(buffer, static_cast<int64_t>(~argument));
            item.initial_byte = static_cast<uint8_t>(major_negint << 5 | additional_info_for(argument));
            item.argument = argument;
            break;
        }
        case 2:
        case 3: { // byte or text string, counted or an indefinite start
            const int major = input.ConsumeBool() ? major_text : major_bytes;
            if (input.ConsumeIntegralInRange(0, 7) == 0) {
                status =
                    major == major_text ? write_text(buffer, nullptr, UNSIZED) : write_bytes(buffer, nullptr, UNSIZED);
                item = {kind::indefinite, static_cast<uint8_t>(major << 5 | ai_indefinite)};
                break;
            }
            item.what = kind::string;
            item.content = input.ConsumeBytes<uint8_t>(input.ConsumeIntegralInRange(0, 300));
            item.argument = item.content.size();
            status = major == major_text
                         ? write_text(buffer, reinterpret_cast<const char *>(item.content.data()), item.argument)
                         : write_bytes(buffer, item.content.data(), item.argument);
            item.initial_byte = static_cast<uint8_t>(major << 5 | additional_info_for(item.argument));
            break;
        }
        case 4: { // array or map header; UNSIZED asks for the indefinite start
            const bool map = input.ConsumeBool();
            const uint64_t count = input.ConsumeBool() ? UNSIZED : pick_argument(input);
            status = map ? write_map_header(buffer, count) : write_array_header(buffer, count);
            const int major = map ? major_map : major_array;
            if (count == UNSIZED) {
                item = {kind::indefinite, static_cast<uint8_t>(major << 5 | ai_indefinite)};
            } else {
                item.initial_byte = static_cast<uint8_t>(major << 5 | additional_info_for(count));
                item.argument = count;
            }
            break;
        }
        case 5: { // simple values and break
            static int32_t (*const writers[])(cbor_buffer *) = {write_false, write_true, write_null, write_break};
            static const uint8_t bytes[] = {byte_false, byte_true, byte_null, byte_break};
            const size_t which = input.ConsumeIntegralInRange<size_t>(0, 3);
            status = writers[which](buffer);
            item = {kind::simple, bytes[which]};
            break;
        }
        case 6:
        case 7: { // the shortest exact float
            const double x = pick_float(input);
            status = write_float(buffer, x);
            success = std::isfinite(x) ? 1 : 0;
            item.what = kind::floating;
            item.number = x;
            item.width = std::isfinite(x) ? narrowest_width(x) : 2;
            item.initial_byte = float_head(item.width);
            break;
        }
        case 8: { // a fixed width: single rounds to nearest, double keeps the bits
            const double x = pick_float(input);
            const bool single = input.ConsumeBool();
            status = single ? write_single(buffer, x) : write_double(buffer, x);
            success = 1;
            item.what = kind::floating;
            item.number = single ? static_cast<double>(static_cast<float>(x)) : x;
            item.width = single ? 4 : 8;
            item.initial_byte = float_head(item.width);
            break;
        }
        default: { // raw bytes appended as they are, read back as one simple value
            static const uint8_t simple[] = {0xf4, 0xf5, 0xf6, 0xf7, 0xfc, 0xfd, 0xfe, 0xc0, 0xdf};
            const uint8_t byte = input.PickValueInArray(simple);
            status = buffer_put_byte(buffer, 0x100 | byte); // only the low 8 bits count
            item = {kind::simple, byte};
        }
        }
        FUZZ_CHECK(status == success);
        const uint64_t grown = buffer->size - size_before;
        switch (item.what) {
        case kind::head:
            FUZZ_CHECK(grown == head_size(item.argument));
            break;
        case kind::string:
            FUZZ_CHECK(grown == head_size(item.argument) + item.argument);
            break;
        case kind::floating:
            FUZZ_CHECK(grown == 1 + item.width);
            break;
        default:
            FUZZ_CHECK(grown == 1);
        }
        FUZZ_CHECK(buffer->data[size_before] == item.initial_byte);
        expected.push_back(std::move(item));
    }
    check_read_back(buffer, expected);
    buffer_free(buffer);
    return 0;
}
