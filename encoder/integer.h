// Integers: written when they fit in 64 bits, refused with a range error that
// quotes the start of the value's text otherwise.
#pragma once

#include "cbor.h"
#include "errors.h"

#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>
#include <string>

namespace veldspray {

struct buffer_release {
    void operator()(cbor::cbor_buffer *buffer) const noexcept { cbor::buffer_free(buffer); }
};
using buffer_handle = std::unique_ptr<cbor::cbor_buffer, buffer_release>;

// How many bytes of a value's text the integer range error quotes.
constexpr std::uint64_t default_value_text_limit = 40;

// What every encoder configuration holds: the output buffer, and the longest
// value text that the integer range error may quote.
struct encoder_output {
    buffer_handle buffer;
    std::uint64_t value_text_limit;
};

// The writers report a buffer that could not grow by a negative status; the
// call then fails with MemoryError rather than return damaged output.
inline void check_written(std::int32_t status) {
    if (status < 0) {
        throw_memory_error();
    }
}

// A signed 64-bit value: negative ones as CBOR negative integers.
inline std::int32_t write_int64(cbor::cbor_buffer *buffer, std::int64_t value) {
    return value < 0 ? cbor::write_negint(buffer, value) : cbor::write_uint(buffer, static_cast<std::uint64_t>(value));
}

// Writes an int (or int subclass instance) that equals its own unsigned or
// signed 64-bit conversion; raises the range error for any other.
void encode_int(encoder_output &encoder, pybind11::handle value);

// str() of the value as UTF-8, cut to at most `limit` bytes, or a
// "failed with ..." text when str() fails.
std::string describe_value(pybind11::handle value, std::uint64_t limit);

}  // namespace veldspray
