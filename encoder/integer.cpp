#include "integer.h"

#include "errors.h"

#include <optional>
#include <type_traits>

namespace veldspray {
namespace py = pybind11;
namespace {

PyObject *new_int(std::uint64_t value) { return PyLong_FromUnsignedLongLong(value); }
PyObject *new_int(std::int64_t value) { return PyLong_FromLongLong(value); }

// The equality test: the int made from the 64-bit result must equal the
// value, by the value's own __eq__ if it is an int subclass with one.
template <class Integer>
bool round_trips(Integer converted, PyObject *value) {
    const auto round_trip = py::reinterpret_steal<py::object>(new_int(converted));
    return round_trip && PyObject_RichCompareBool(round_trip.ptr(), value, Py_EQ) == 1;
}

// The binding layer's converting cast of `value` to a 64-bit Integer: the
// integer's own value, else int() of the value converted once more. It uses
// pybind11's internal caster (py::detail::make_caster) rather than py::cast,
// so that a value that does not convert is a false result, not an exception.
template <class Integer>
bool binding_layer_cast(py::handle value, Integer &converted) {
    py::detail::make_caster<Integer> caster;
    if (!caster.load(value, true)) {
        return false;
    }
    converted = caster;
    return true;
}

// The value as a 64-bit Integer, if the binding layer's converting cast gives
// one that passes the equality test. Any failure on the way, including an
// exception from the value's own __int__ or __eq__, only means that the value
// does not fit.
template <class Integer>
std::optional<Integer> exact_conversion(py::handle value) {
    try {
        Integer converted = 0;
        if (binding_layer_cast(value, converted) && round_trips(converted, value.ptr())) {
            return converted;
        }
    } catch (...) {
    }
    PyErr_Clear();
    return std::nullopt;
}

// Whether an int is below zero, read without any call: in CPython 3.10 an
// int's size field carries the sign of its value (negative size, negative
// value). Only valid for objects whose type is exactly int.
bool is_negative_int(PyObject *value) { return Py_SIZE(value) < 0; }

// The same for an int itself, where the cast comes down to the interpreter's
// own conversion and no Python code can run: the result is identical without
// the binding layer's machinery, and a negative value, which never converts
// to unsigned, skips that attempt.
template <class Integer>
std::optional<Integer> exact_conversion_of_int(PyObject *value) {
    Integer converted = 0;
    if constexpr (std::is_unsigned_v<Integer>) {
        if (is_negative_int(value)) {
            return std::nullopt;
        }
        converted = PyLong_AsUnsignedLongLong(value);
    } else {
        converted = PyLong_AsLongLong(value);
    }
    if (!(converted == static_cast<Integer>(-1) && PyErr_Occurred()) && round_trips(converted, value)) {
        return converted;
    }
    PyErr_Clear();
    return std::nullopt;
}

template <class Integer>
std::optional<Integer> conversion(py::handle value) {
    return PyLong_CheckExact(value.ptr()) ? exact_conversion_of_int<Integer>(value.ptr())
                                          : exact_conversion<Integer>(value);
}

// Cuts UTF-8 text to at most `limit` bytes without splitting a character: the
// interpreter turns an error message that is not valid UTF-8 into a
// UnicodeDecodeError, which would hide the range error itself.
std::string cut_at_character(std::string text, std::uint64_t limit) {
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

}  // namespace

void encode_int(encoder_output &encoder, py::handle value) {
    cbor::cbor_buffer *out = encoder.buffer.get();
    if (const auto unsigned_value = conversion<std::uint64_t>(value)) {
        return check_written(cbor::write_uint(out, *unsigned_value));
    }
    if (const auto signed_value = conversion<std::int64_t>(value)) {
        return check_written(write_int64(out, *signed_value));
    }
    throw_runtime_error(error_text::integer_range + describe_value(value, encoder.value_text_limit));
}

std::string describe_value(py::handle value, std::uint64_t limit) {
    std::string text;
    try {
        const auto as_str = py::reinterpret_steal<py::object>(PyObject_Str(value.ptr()));
        if (!as_str) {
            throw py::error_already_set();
        }
        Py_ssize_t size = 0;
        const char *utf8 = PyUnicode_AsUTF8AndSize(as_str.ptr(), &size);
        if (utf8 == nullptr) {
            PyErr_Clear();
            throw_cast_error();
        }
        text.assign(utf8, static_cast<std::size_t>(size));
    } catch (const std::exception &error) {
        text = std::string(error_text::describe_failed) + error.what();
    } catch (...) {
        text = error_text::describe_failed_unknown;
    }
    return cut_at_character(std::move(text), limit);
}

}  // namespace veldspray
