#include "dumps_call.h"

#include "errors.h"
#include "native_stack.h"
#include "output.h"
#include "value_encoder.h"

#include <cstddef>
#include <string>

namespace veldspray {
namespace {

template <length_mode Lengths, depth_policy Depth, class Value>
py::bytes encode(const Value &value, std::uint64_t max_depth, std::uintptr_t stack_floor) {
    buffer_handle output(cbor::buffer_new());
    if (!output) {
        throw_memory_error();
    }
    value_encoder<Lengths, Depth> encoder(std::move(output), max_depth, stack_floor);
    if constexpr (std::is_same_v<Value, value_variant>) {
        encoder.encode_value(value);
    } else {
        encoder.encode_item(value);
    }
    const cbor::cbor_buffer &result = *encoder.buffer;
    return py::bytes(reinterpret_cast<const char *>(result.data), static_cast<std::size_t>(result.size));
}

// Picks the configuration once for the whole call.
template <class Value>
py::bytes encode_call(const Value &value, bool indefinite, std::uint64_t max_depth, std::uintptr_t stack_floor) {
    if (indefinite) {
        return max_depth != 0 ? encode<length_mode::indefinite, depth_policy::limited>(value, max_depth, stack_floor)
                              : encode<length_mode::indefinite, depth_policy::unlimited>(value, max_depth, stack_floor);
    }
    return max_depth != 0 ? encode<length_mode::definite, depth_policy::limited>(value, max_depth, stack_floor)
                          : encode<length_mode::definite, depth_policy::unlimited>(value, max_depth, stack_floor);
}

// ---- The fast-call front ---------------------------------------------------

// The arguments of a call that needs no conversion: a value whose type is
// exactly one of the built-in kinds (classifying it runs no Python code),
// `indefinite` exactly True or False, `max_depth` an exact int in 0..2^64-1.
struct plain_call {
    PyObject *value = nullptr;
    bool indefinite = true;
    std::uint64_t max_depth = 0;
};

enum parameter : std::size_t { value_parameter, indefinite_parameter, max_depth_parameter, parameter_count };

// The parameter names as the interpreter interns them. Keyword names in a
// call are almost always interned too; one that is not the same object is
// simply left to the registered function.
PyObject *parameter_names[parameter_count];

bool take_argument(plain_call &call, std::size_t parameter, PyObject *argument) {
    switch (parameter) {
    case value_parameter:
        call.value = argument;
        return is_exact_builtin(argument);
    case indefinite_parameter:
        call.indefinite = argument == Py_True;
        return argument == Py_True || argument == Py_False;
    default: {
        if (!PyLong_CheckExact(argument)) {
            return false;
        }
        call.max_depth = PyLong_AsUnsignedLongLong(argument);
        if (call.max_depth == static_cast<std::uint64_t>(-1) && PyErr_Occurred()) {
            PyErr_Clear();  // negative or too large: the registered function refuses it
            return false;
        }
        return true;
    }
    }
}

std::size_t parameter_named(PyObject *name) {
    std::size_t parameter = 0;
    while (parameter < parameter_count && parameter_names[parameter] != name) {
        ++parameter;
    }
    return parameter;
}

bool read_plain_call(PyObject *const *arguments, Py_ssize_t positional, PyObject *keyword_names, plain_call &call) {
    if (positional > static_cast<Py_ssize_t>(parameter_count)) {
        return false;
    }
    bool given[parameter_count] = {};
    for (Py_ssize_t index = 0; index < positional; ++index) {
        if (!take_argument(call, static_cast<std::size_t>(index), arguments[index])) {
            return false;
        }
        given[index] = true;
    }
    const Py_ssize_t keywords = keyword_names != nullptr ? PyTuple_GET_SIZE(keyword_names) : 0;
    for (Py_ssize_t index = 0; index < keywords; ++index) {
        const std::size_t parameter = parameter_named(PyTuple_GET_ITEM(keyword_names, index));
        if (parameter == parameter_count || given[parameter] ||
            !take_argument(call, parameter, arguments[positional + index])) {
            return false;
        }
        given[parameter] = true;
    }
    return given[value_parameter];
}

// Sets the Python error for the exception being handled, exactly as
// pybind11's dispatcher does for the functions it registers: a Python error
// carried by error_already_set is restored, and any other exception goes
// through pybind11's registered exception translators, module-local ones
// first. Those lists are pybind11 internals (py::detail); the front uses them
// so that a call fails in the same way on either path.
void set_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (py::error_already_set &error) {
        error.restore();
    } catch (...) {
        if (!py::detail::apply_exception_translators(py::detail::get_local_internals().registered_exception_translators) &&
            !py::detail::apply_exception_translators(py::detail::get_internals().registered_exception_translators)) {
            PyErr_SetString(PyExc_SystemError, error_text::untranslated_exception);
        }
    }
}

PyObject *fast_dumps(PyObject *registered, PyObject *const *arguments, Py_ssize_t positional, PyObject *keyword_names) {
    plain_call call;
    if (!read_plain_call(arguments, positional, keyword_names, call)) {
        return PyObject_Vectorcall(registered, arguments, static_cast<std::size_t>(positional), keyword_names);
    }
    try {
        const std::uintptr_t stack_floor = native_stack_floor();
        check_native_stack(stack_floor);
        return encode_call(py::handle(call.value), call.indefinite, call.max_depth, stack_floor).release().ptr();
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

}  // namespace

py::bytes dumps(const value_variant &value, bool indefinite, std::uint64_t max_depth) {
    return encode_call(value, indefinite, max_depth, native_stack_floor());
}

py::object make_fast_dumps(py::object registered, py::handle module_name) {
    static const char *const names[parameter_count] = {"value", "indefinite", "max_depth"};
    for (std::size_t parameter = 0; parameter < parameter_count; ++parameter) {
        parameter_names[parameter] = PyUnicode_InternFromString(names[parameter]);
        if (parameter_names[parameter] == nullptr) {
            throw py::error_already_set();
        }
    }
    // The docstring pybind11 composed (signature line and text), kept for the
    // life of the process like the method record that points to it.
    static const std::string doc = py::str(registered.attr("__doc__"));
    static PyMethodDef definition = {"dumps", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fast_dumps)),
                                     METH_FASTCALL | METH_KEYWORDS, doc.c_str()};
    PyObject *function = PyCFunction_NewEx(&definition, registered.ptr(), module_name.ptr());
    if (function == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(function);
}

}  // namespace veldspray
