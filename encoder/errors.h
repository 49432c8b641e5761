// The errors that the encoder raises, in one place so that every path uses
// the same texts.
#pragma once

#include <pybind11/pybind11.h>

namespace veldspray {

// Raised for a nested value that fits no kind, and for a str without a UTF-8
// form: the binding layer's own cast error, with its release-build wording.
[[noreturn]] inline void throw_cast_error() {
    throw pybind11::cast_error("Unable to cast Python instance to C++ type (compile in debug mode for details)");
}

// Raised when the native heap cannot hold the output: Python's own MemoryError.
[[noreturn]] inline void throw_memory_error() {
    PyErr_NoMemory();
    throw pybind11::error_already_set();
}

}  // namespace veldspray
