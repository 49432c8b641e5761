// The call front of dumps, which the module publishes in place of the function
// that pybind11 registers: the arguments matched and converted, the argument
// error, the encoder's configuration picked once per call, and every error set
// as the Python exception that the caller sees.
#include "dumps_call.h"

#include "errors.h"
#include "native_stack.h"
#include "output.h"
#include "value_encoder.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <exception>
#include <iterator>
#include <optional>
#include <string>

namespace veldspray {
namespace {

template <length_mode Lengths, depth_policy Depth, class Value>
py::bytes encode(const Value &value, std::uint64_t max_depth, const call_stack &stack)
{
    buffer_handle output(cbor::buffer_new());
    if (!output) {
        throw_memory_error();
    }
    value_encoder<Lengths, Depth> encoder(std::move(output), max_depth, stack);
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
py::bytes encode_call(const Value &value, bool indefinite, std::uint64_t max_depth, const call_stack &stack)
{
    if (indefinite) {
        return max_depth != 0 ? encode<length_mode::indefinite, depth_policy::limited>(value, max_depth, stack)
                              : encode<length_mode::indefinite, depth_policy::unlimited>(value, max_depth, stack);
    }
    return max_depth != 0 ? encode<length_mode::definite, depth_policy::limited>(value, max_depth, stack)
                          : encode<length_mode::definite, depth_policy::unlimited>(value, max_depth, stack);
}

// ---- The call front ---------------------------------------------------------
//
// Every call of dumps enters here. The arguments are matched to the three
// parameters and converted as pybind11's dispatcher does it, in order and
// stopping at the first that fails, with the common exact types tested first.
// Owning the call also means owning its argument error, whose text is
// composed so that no argument can make composing it fail (the dispatcher's
// own composition ends the process when an argument's repr raises an error
// whose message has no UTF-8 form).

enum parameter : std::size_t { value_parameter, indefinite_parameter, max_depth_parameter, parameter_count };

constexpr const char *parameter_names[parameter_count] = {"value", "indefinite", "max_depth"};

// The names as the interpreter interns them: a keyword in a call is almost
// always the same object, which saves comparing the text.
PyObject *interned_names[parameter_count];

// The text of an argument error up to the arguments given, made once from the
// signature line that pybind11 composed for dumps.
std::string argument_error_start;

// The argument given for each parameter; null where none was.
using call_arguments = std::array<PyObject *, parameter_count>;

std::size_t parameter_named(PyObject *name)
{
    auto *const interned = std::find(std::begin(interned_names), std::end(interned_names), name);
    if (interned != std::end(interned_names)) {
        return static_cast<std::size_t>(interned - std::begin(interned_names));
    }
    std::size_t parameter = 0;
    while (parameter < parameter_count && PyUnicode_CompareWithASCIIString(name, parameter_names[parameter]) != 0) {
        ++parameter;
    }
    return parameter;
}

// Positional arguments in order, then keyword arguments by name. False when
// they do not fit: too many, an unknown name, a parameter given twice, or no
// value.
bool match_parameters(PyObject *const *arguments, Py_ssize_t positional, PyObject *keyword_names, call_arguments &given)
{
    if (positional > static_cast<Py_ssize_t>(parameter_count)) {
        return false;
    }
    std::copy(arguments, arguments + positional, given.begin());
    const Py_ssize_t keywords = keyword_names != nullptr ? PyTuple_GET_SIZE(keyword_names) : 0;
    for (Py_ssize_t index = 0; index < keywords; ++index) {
        const std::size_t parameter = parameter_named(PyTuple_GET_ITEM(keyword_names, index));
        if (parameter == parameter_count || given[parameter] != nullptr) {
            return false;
        }
        given[parameter] = arguments[positional + index];
    }
    return given[value_parameter] != nullptr;
}

std::optional<bool> convert_indefinite(PyObject *argument)
{
    if (argument == nullptr || argument == Py_True || argument == Py_False) {
        return argument != Py_False;
    }
    return truth_value(argument, true);
}

std::optional<std::uint64_t> convert_max_depth(PyObject *argument)
{
    return argument != nullptr ? integer_value<std::uint64_t>(argument, true) : 0;
}

// A repr that fails is written as such, and the call fails with its
// TypeError, unless what it raised stops the call (clear_refusal_or_stop).
void append_repr(std::string &text, PyObject *argument)
{
    const auto repr = py::reinterpret_steal<py::object>(PyObject_Repr(argument));
    if (!repr || !append_utf8(text, repr.ptr())) {
        clear_refusal_or_stop();
        text += error_text::repr_failed;
    }
}

// Raises the TypeError of a call that fits no signature, naming what it was
// invoked with: the repr of each positional argument, then each keyword with
// the repr of its argument.
PyObject *raise_argument_error(PyObject *const *arguments, Py_ssize_t positional, PyObject *keyword_names)
{
    std::string text = argument_error_start;
    for (Py_ssize_t index = 0; index < positional; ++index) {
        text += index > 0 ? ", " : "";
        append_repr(text, arguments[index]);
    }
    const Py_ssize_t keywords = keyword_names != nullptr ? PyTuple_GET_SIZE(keyword_names) : 0;
    for (Py_ssize_t index = 0; index < keywords; ++index) {
        text += index > 0 ? ", " : positional > 0 ? "; kwargs: " : "kwargs: ";
        if (!append_escaped(text, PyTuple_GET_ITEM(keyword_names, index))) {
            throw_python_error();
        }
        text += '=';
        append_repr(text, arguments[positional + index]);
    }
    const auto message = py::reinterpret_steal<py::object>(
        PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (message) {
        PyErr_SetObject(PyExc_TypeError, message.ptr());
    }
    return nullptr;
}

// Sets the Python error for the exception being handled: a Python error
// carried by python_error is restored, and any other exception is translated
// as pybind11 translates the exceptions of the functions it registers when no
// translator of its own was added (a cast error and any std::exception become
// RuntimeError, std::bad_alloc MemoryError). pybind11's registered
// translators are passed over: that list is shared by every pybind11 module
// built alike in the process, and another module's translator would change
// what dumps raises.
void set_error_from_current_exception() noexcept
{
    try {
        throw;
    } catch (python_error &error) {
        error.restore();
    } catch (...) {
        py::detail::translate_exception(std::current_exception());
    }
}

// Converts the other two arguments and writes the value, once it has been
// taken as it is or classified.
template <class Value>
PyObject *convert_and_encode(const Value &value, const call_arguments &given, PyObject *const *arguments,
                             Py_ssize_t positional, PyObject *keyword_names, const call_stack &stack)
{
    const auto indefinite = convert_indefinite(given[indefinite_parameter]);
    if (!indefinite) {
        return raise_argument_error(arguments, positional, keyword_names);
    }
    const auto max_depth = convert_max_depth(given[max_depth_parameter]);
    if (!max_depth) {
        return raise_argument_error(arguments, positional, keyword_names);
    }
    return encode_call(value, *indefinite, *max_depth, stack).release().ptr();
}

PyObject *call_dumps(PyObject *, PyObject *const *arguments, Py_ssize_t positional, PyObject *keyword_names)
{
    const call_stack stack;
    try {
        // dumps called again from a value's own Python code nests on the same
        // stack with no container in between.
        const native_stack_check entry_check(stack);
        call_arguments given{};
        if (!match_parameters(arguments, positional, keyword_names, given)) {
            return raise_argument_error(arguments, positional, keyword_names);
        }
        PyObject *value = given[value_parameter];
        if (is_exact_builtin(value)) {
            return convert_and_encode(py::handle(value), given, arguments, positional, keyword_names, stack);
        }
        value_variant classified;
        if (!classify_fully(value, classified)) {
            return raise_argument_error(arguments, positional, keyword_names);
        }
        return convert_and_encode(classified, given, arguments, positional, keyword_names, stack);
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

} // namespace

// Never called (dumps_call.h): pybind11 reads only its type.
py::bytes dumps(const value_variant &, bool, std::uint64_t)
{
    return {};
}

py::object make_dumps(py::handle module, py::handle registered)
{
    // Made once for the process, by the first interpreter that imports the
    // module: the texts are the same for all, and so are interned strings.
    for (std::size_t parameter = 0; parameter < parameter_count; ++parameter) {
        if (interned_names[parameter] == nullptr) {
            interned_names[parameter] = PyUnicode_InternFromString(parameter_names[parameter]);
        }
        if (interned_names[parameter] == nullptr) {
            throw py::error_already_set();
        }
    }
    // The docstring pybind11 composed (signature line and text), kept for the
    // life of the process like the method record that points to it. Its first
    // line is the name followed by the signature.
    static const std::string doc = py::str(registered.attr("__doc__"));
    const std::string name = py::str(registered.attr("__name__"));
    if (argument_error_start.empty()) {
        argument_error_start = name + error_text::argument_error_head +
                               doc.substr(name.size(), doc.find('\n') - name.size()) +
                               error_text::argument_error_invoked;
    }
    static PyMethodDef definition = {"dumps", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(call_dumps)),
                                     METH_FASTCALL | METH_KEYWORDS, doc.c_str()};
    PyObject *function = PyCFunction_NewEx(&definition, module.ptr(), module.attr("__name__").ptr());
    if (function == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(function);
}

} // namespace veldspray
