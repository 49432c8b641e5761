// Every error text that dumps raises, each written once, and the helpers that
// raise them.
#pragma once

#include <pybind11/pybind11.h>

#include <exception>
#include <stdexcept>
#include <string>

namespace veldspray::error_text {

// The binding layer's own cast error, with its release-build wording.
inline constexpr const char *cast = "Unable to cast Python instance to C++ type (compile in debug mode for details)";
// Followed directly by the max_depth limit.
inline constexpr const char *depth_limit = "Exceeded recursion limit:";
// Followed directly by the start of the value's text.
inline constexpr const char *integer_range = "dumps received an integer out of range for both int64_t and uint64_t";
// The value's text when its str() fails: followed by the failure's own text.
inline constexpr const char *describe_failed = "failed with ";
inline constexpr const char *bytes_contents = "Unable to extract bytes contents!";
inline constexpr const char *list_changed_size = "list changed size during dumps";
inline constexpr const char *dict_changed_size = "dict changed size during dumps";
inline constexpr const char *dict_changed = "dict changed during dumps";
// pybind11's words for a call that fits no signature: the function's name,
// the head, the signature, and what the call was invoked with.
inline constexpr const char *argument_error_head =
    "(): incompatible function arguments. The following argument types are supported:\n    1. ";
inline constexpr const char *argument_error_invoked = "\n\nInvoked with: ";
// An argument whose repr raised, or has no UTF-8 form, in that text.
inline constexpr const char *repr_failed = "<repr raised Error>";
// Completes the interpreter's "maximum recursion depth exceeded".
inline constexpr const char *recursion_context = " while encoding a CBOR item";

} // namespace veldspray::error_text

namespace veldspray {

// A Python error that stops the call. It is taken off the interpreter's error
// indicator when thrown, so that the destructors run while unwinding see none,
// and put back where the call ends. Unlike pybind11's error_already_set it
// never formats the error, which can itself fail (a message with a lone
// surrogate has no UTF-8 form) and run the error's own Python code.
class python_error : public std::exception {
public:
    python_error() { PyErr_Fetch(&type.ptr(), &value.ptr(), &trace.ptr()); }
    void restore() { PyErr_Restore(type.release().ptr(), value.release().ptr(), trace.release().ptr()); }
    [[nodiscard]] const char *what() const noexcept override { return "a Python error stops the call"; }

private:
    pybind11::object type, value, trace;
};

// Raises the Python error that is set.
[[noreturn]] inline void throw_python_error()
{
    throw python_error();
}

// Clears the Python error that a value's own code raised (its __bool__,
// __index__, __int__, __eq__, __str__ or __repr__), which only means that the
// value is refused; or ends the call. An exception outside Exception (an
// interrupt, an exit, a cancellation), exhausted memory or the recursion
// limit says nothing about the value: it is thrown on at once (python_error)
// and reaches the caller unchanged.
void clear_refusal_or_stop();

// The same, returning the refusal's text, "TypeName: message" (just the
// type's name when the message itself cannot be had); or ends the call.
std::string describe_refusal_or_stop();

// Appends the UTF-8 form of a str; false, with the Python error set, when it
// has none (it holds a lone surrogate).
bool append_utf8(std::string &text, PyObject *str);

// Appends the text of a str as UTF-8, any lone surrogate written as its
// backslash escape; false, with the Python error set, only when memory runs out.
bool append_escaped(std::string &text, PyObject *str);

// A nested value that fits no kind, or a str without a UTF-8 form.
[[noreturn]] inline void throw_cast_error()
{
    throw pybind11::cast_error(error_text::cast);
}

// The encoder's own errors reach Python as RuntimeError with this text.
[[noreturn]] inline void throw_runtime_error(const std::string &text)
{
    throw std::runtime_error(text);
}

// The native heap cannot hold the output: Python's own MemoryError.
[[noreturn]] inline void throw_memory_error()
{
    PyErr_NoMemory();
    throw_python_error();
}

} // namespace veldspray
