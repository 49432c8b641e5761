// Every error text that dumps raises, each written once, and the helpers that
// raise them.
#pragma once

#include <pybind11/pybind11.h>

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
inline constexpr const char *describe_failed_unknown = "failed with unknown exception";
inline constexpr const char *bytes_contents = "Unable to extract bytes contents!";
inline constexpr const char *list_changed_size = "list changed size during dumps";
inline constexpr const char *dict_changed_size = "dict changed size during dumps";
inline constexpr const char *dict_changed = "dict changed during dumps";
// pybind11's own words for an exception that no translator takes.
inline constexpr const char *untranslated_exception = "Exception escaped from default exception translator!";
// Completes the interpreter's "maximum recursion depth exceeded".
inline constexpr const char *recursion_context = " while encoding a CBOR item";

}  // namespace veldspray::error_text

namespace veldspray {

// A nested value that fits no kind, or a str without a UTF-8 form.
[[noreturn]] inline void throw_cast_error() { throw pybind11::cast_error(error_text::cast); }

// The encoder's own errors reach Python as RuntimeError with this text.
[[noreturn]] inline void throw_runtime_error(const std::string &text) { throw std::runtime_error(text); }

// The native heap cannot hold the output: Python's own MemoryError.
[[noreturn]] inline void throw_memory_error() {
    PyErr_NoMemory();
    throw pybind11::error_already_set();
}

}  // namespace veldspray
