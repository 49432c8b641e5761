// Classification: the kind of value_variant that a Python object lands in,
// with the truth and 64-bit integer rules that the call front also applies to
// its arguments.
#include "value_variant.h"

#include "errors.h"

#include <cstring>

namespace veldspray {
namespace {

template <std::size_t Kind>
bool take(value_variant &result, PyObject *object)
{
    result.emplace<Kind>(py::reinterpret_borrow<std::variant_alternative_t<Kind, value_variant>>(object));
    return true;
}

// The kind of an object whose type derives from one of the built-in types:
// the first in the order of kinds. Instances of subclasses are written from
// their stored contents, like their base types.
value_kind derived_builtin_kind(PyObject *object)
{
    if (PyFloat_Check(object))
        return kind_float;
    if (PyLong_Check(object))
        return kind_int;
    if (PyList_Check(object))
        return kind_list;
    if (PyTuple_Check(object))
        return kind_tuple;
    if (PyDict_Check(object))
        return kind_dict;
    if (PyBytes_Check(object))
        return kind_bytes;
    if (PyUnicode_Check(object))
        return kind_str;
    return no_builtin_kind;
}

// NumPy's boolean type: "numpy.bool_" up to NumPy 1.x, "numpy.bool" from
// NumPy 2 on. Known by name, so that no NumPy header is needed; without it a
// NumPy 2 boolean would fall through to its deprecated __index__.
bool is_numpy_bool(PyObject *object)
{
    const char *name = Py_TYPE(object)->tp_name;
    return std::strcmp(name, "numpy.bool_") == 0 || std::strcmp(name, "numpy.bool") == 0;
}

} // namespace

std::optional<bool> truth_value(PyObject *object, bool convert)
{
    if (!convert && !is_numpy_bool(object)) {
        return std::nullopt;
    }
    if (object == Py_None) {
        return false;
    }
    const PyNumberMethods *number = Py_TYPE(object)->tp_as_number;
    const int truth = (number != nullptr && number->nb_bool != nullptr) ? number->nb_bool(object) : -1;
    if (truth == 0 || truth == 1) {
        return truth == 1;
    }
    clear_refusal_or_stop();
    return std::nullopt;
}

template <class Integer>
std::optional<Integer> integer_value(PyObject *object, bool convert)
{
    // An int is never a float; its flag is the cheaper test.
    if (!PyLong_Check(object) && (PyFloat_Check(object) || (!convert && !PyIndex_Check(object)))) {
        return std::nullopt;
    }
    Integer value = 0;
    if (read_integer(object, value)) {
        return value;
    }
    if (!convert || !PyNumber_Check(object)) {
        return std::nullopt;
    }
    const py::object as_int = py::reinterpret_steal<py::object>(PyNumber_Long(object));
    if (!as_int) {
        clear_refusal_or_stop();
        return std::nullopt;
    }
    return integer_value<Integer>(as_int.ptr(), false);
}

template std::optional<std::uint64_t> integer_value(PyObject *, bool);
template std::optional<std::int64_t> integer_value(PyObject *, bool);

bool classify_value(py::handle source, bool convert, value_variant &result)
{
    PyObject *object = source.ptr();
    const value_kind exact = exact_builtin_kind(object);
    switch (exact != no_builtin_kind ? exact : derived_builtin_kind(object)) {
    case kind_bool_object:
        return take<kind_bool_object>(result, object);
    case kind_float:
        return take<kind_float>(result, object);
    case kind_int:
        return take<kind_int>(result, object);
    case kind_list:
        return take<kind_list>(result, object);
    case kind_tuple:
        return take<kind_tuple>(result, object);
    case kind_dict:
        return take<kind_dict>(result, object);
    case kind_bytes:
        return take<kind_bytes>(result, object);
    case kind_str:
        return take<kind_str>(result, object);
    default:
        // Any other type. None, too, keeps its place after the truth kind,
        // which takes it in a pass with conversion.
        break;
    }
    if (const auto truth = truth_value(object, convert)) {
        result = *truth;
        return true;
    }
    if (const auto value = integer_value<std::uint64_t>(object, convert)) {
        result = *value;
        return true;
    }
    if (const auto value = integer_value<std::int64_t>(object, convert)) {
        result = *value;
        return true;
    }
    if (object == Py_None)
        return take<kind_none>(result, object);
    return false;
}

} // namespace veldspray
