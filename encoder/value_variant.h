// The thirteen kinds of value that dumps accepts, and how a Python object is
// classified into one of them.
#pragma once

#include "errors.h"

#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <type_traits>
#include <variant>

namespace veldspray {

namespace py = pybind11;

// The order is the classification order: an object takes the first kind
// whose rule accepts it, so it also decides which kind an object lands in.
using value_variant = std::variant<py::bool_, py::float_, py::int_, py::list, py::tuple, py::dict, py::bytes, py::str,
                                   bool, std::uint64_t, std::int64_t, std::string_view, py::none>;

enum value_kind : std::size_t {
    kind_bool_object,
    kind_float,
    kind_int,
    kind_list,
    kind_tuple,
    kind_dict,
    kind_bytes,
    kind_str,
    kind_truth,
    kind_uint64,
    kind_int64,
    kind_utf8_view, // never classified: every str and bytes takes kind_str or kind_bytes first
    kind_none,
    // Not a kind: what exact_builtin_kind gives for every other type.
    no_builtin_kind,
};
static_assert(std::variant_size_v<value_variant> == kind_none + 1);

// The kind of an object whose type is exactly one of the built-in types
// (None, bool, int, float, str, bytes, list, tuple, dict), no_builtin_kind
// for any other, subclasses of those included. Such an object always lands in
// the same kind, classifying it runs no Python code, and the encoder writes
// it without a value_variant (value_encoder::encode_item). The types are
// tested from the commonest in data on, for that path.
inline value_kind exact_builtin_kind(PyObject *object)
{
    const PyTypeObject *type = Py_TYPE(object);
    if (type == &PyUnicode_Type)
        return kind_str;
    if (type == &PyLong_Type)
        return kind_int;
    if (type == &PyFloat_Type)
        return kind_float;
    if (object == Py_None)
        return kind_none;
    if (type == &PyBool_Type)
        return kind_bool_object;
    if (type == &PyList_Type)
        return kind_list;
    if (type == &PyDict_Type)
        return kind_dict;
    if (type == &PyTuple_Type)
        return kind_tuple;
    if (type == &PyBytes_Type)
        return kind_bytes;
    return no_builtin_kind;
}

// One classification pass. Returns false when no kind accepts the object;
// Python errors raised on the way (by the object's __bool__, __index__ or
// __int__) only count as a rejection, unless they stop the call
// (clear_refusal_or_stop in errors.h).
bool classify_value(py::handle source, bool convert, value_variant &result);

// The rule of the truth kind: the truth value of an object that is not a
// bool. Without conversion only NumPy's boolean type is let through.
std::optional<bool> truth_value(PyObject *object, bool convert);

// The interpreter's own reading of an object as a 64-bit Integer, into
// `value`. False when it does not fit (or, for the signed reading, when the
// object's __index__ fails), the error cleared as a refusal unless it ends the
// call (clear_refusal_or_stop).
template <class Integer>
bool read_integer(PyObject *object, Integer &value)
{
    if constexpr (std::is_unsigned_v<Integer>) {
        value = PyLong_AsUnsignedLongLong(object);
    } else {
        value = PyLong_AsLongLong(object);
    }
    if (value != static_cast<Integer>(-1) || !PyErr_Occurred()) {
        return true;
    }
    clear_refusal_or_stop();
    return false;
}

// The rule of the two 64-bit integer kinds: the value of an integer-like
// object that is not a float. With conversion, an object that is a number is
// first turned into an int.
template <class Integer>
std::optional<Integer> integer_value(PyObject *object, bool convert);

// Whether the object's type is exactly one of the built-in types
// (exact_builtin_kind).
inline bool is_exact_builtin(PyObject *object)
{
    return exact_builtin_kind(object) != no_builtin_kind;
}

// A full classification: a pass without conversion, then one with it.
inline bool classify_fully(py::handle source, value_variant &result)
{
    return classify_value(source, false, result) || classify_value(source, true, result);
}

} // namespace veldspray
