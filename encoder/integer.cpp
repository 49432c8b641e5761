// Integers: the 64-bit conversions with their equality test, and the text of
// the value that the range error quotes.
#include "integer.h"

#include "errors.h"
#include "value_variant.h"

#include <optional>
#include <type_traits>

namespace veldspray {
namespace py = pybind11;
namespace {

// How many bytes of a value's text the range error quotes.
constexpr std::uint64_t value_text_limit = 40;

PyObject *new_int(std::uint64_t value)
{
    return PyLong_FromUnsignedLongLong(value);
}
PyObject *new_int(std::int64_t value)
{
    return PyLong_FromLongLong(value);
}

// The equality test: the int made from the 64-bit result must equal the
// value, by the value's own __eq__ if it is an int subclass with one.
template <class Integer>
bool round_trips(Integer converted, PyObject *value)
{
    const auto round_trip = py::reinterpret_steal<py::object>(new_int(converted));
    const int equal = round_trip ? PyObject_RichCompareBool(round_trip.ptr(), value, Py_EQ) : -1;
    if (equal < 0) {
        clear_refusal_or_stop();
    }
    return equal == 1;
}

// Whether an int is below zero, read without any call: in CPython 3.10 an
// int's size field carries the sign of its value (negative size, negative
// value). Only valid for objects whose type is exactly int.
bool is_negative_int(PyObject *value)
{
    return Py_SIZE(value) < 0;
}

// The value as a 64-bit Integer, if the integer rule of the classification
// (with conversion) gives one that passes the equality test.
template <class Integer>
std::optional<Integer> conversion(PyObject *value)
{
    if (!PyLong_CheckExact(value)) {
        const auto converted = integer_value<Integer>(value, true);
        return converted && round_trips(*converted, value) ? converted : std::nullopt;
    }
    // For an int itself the rule comes down to the interpreter's own reading,
    // and no Python code can run; a negative value, which never converts to
    // unsigned, skips that attempt.
    if constexpr (std::is_unsigned_v<Integer>) {
        if (is_negative_int(value)) {
            return std::nullopt;
        }
    }
    Integer converted = 0;
    return read_integer(value, converted) && round_trips(converted, value) ? std::optional<Integer>(converted)
                                                                           : std::nullopt;
}

// Cuts UTF-8 text to at most `limit` bytes without splitting a character: the
// interpreter turns an error message that is not valid UTF-8 into a
// UnicodeDecodeError, which would hide the range error itself.
std::string cut_at_character(std::string text, std::uint64_t limit)
{
    if (text.size() <= limit) {
        return text;
    }
    auto end = static_cast<std::size_t>(limit);
    constexpr unsigned char continuation_mask = 0xc0;
    constexpr unsigned char continuation_bits = 0x80;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & continuation_mask) == continuation_bits) {
        --end;
    }
    text.resize(end);
    return text;
}

} // namespace

void encode_int(encoder_output &encoder, py::handle value)
{
    cbor::cbor_buffer *out = encoder.buffer.get();
    if (const auto unsigned_value = conversion<std::uint64_t>(value.ptr())) {
        return check_written(cbor::write_uint(out, *unsigned_value));
    }
    if (const auto signed_value = conversion<std::int64_t>(value.ptr())) {
        return check_written(write_int64(out, *signed_value));
    }
    throw_runtime_error(error_text::integer_range + describe_value(value, value_text_limit));
}

std::string describe_value(py::handle value, std::uint64_t limit)
{
    const auto text = py::reinterpret_steal<py::object>(PyObject_Str(value.ptr()));
    std::string described;
    if (!text) {
        described = error_text::describe_failed + describe_refusal_or_stop();
    } else if (!append_utf8(described, text.ptr())) {
        clear_refusal_or_stop();
        described = std::string(error_text::describe_failed) + error_text::cast;
    }
    return cut_at_character(std::move(described), limit);
}

} // namespace veldspray
