#include "native_stack.h"

#include "errors.h"

#include <pybind11/pybind11.h>

namespace veldspray {

void throw_native_stack_exhausted()
{
    PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", error_text::recursion_context);
    throw_python_error();
}

} // namespace veldspray
