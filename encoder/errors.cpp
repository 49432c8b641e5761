// Which Python errors only refuse a value and which end the call, and the
// text of a refusal.
#include "errors.h"

#include <cstring>

namespace veldspray {
namespace py = pybind11;
namespace {

// What frameworks raise to stop work (an interrupt, an exit, asyncio's
// cancellation, gevent's timeout, greenlet's exit) derives from BaseException
// alone, so that code catching Exception lets it through.
bool stops_the_call()
{
    PyObject *const error = PyErr_Occurred();
    return error != nullptr && (!PyErr_GivenExceptionMatches(error, PyExc_Exception) ||
                                PyErr_GivenExceptionMatches(error, PyExc_MemoryError) ||
                                PyErr_GivenExceptionMatches(error, PyExc_RecursionError));
}

// A type's name without its module, as its __name__ gives it, read without
// running any Python code.
const char *short_type_name(PyObject *type)
{
    const char *name = reinterpret_cast<PyTypeObject *>(type)->tp_name;
    const char *last_dot = std::strrchr(name, '.');
    return last_dot != nullptr ? last_dot + 1 : name;
}

} // namespace

void clear_refusal_or_stop()
{
    if (stops_the_call()) {
        throw_python_error();
    }
    PyErr_Clear();
}

std::string describe_refusal_or_stop()
{
    if (stops_the_call()) {
        throw_python_error();
    }
    PyObject *type = nullptr;
    PyObject *value = nullptr;
    PyObject *trace = nullptr;
    PyErr_Fetch(&type, &value, &trace);
    PyErr_NormalizeException(&type, &value, &trace);
    const auto held_type = py::reinterpret_steal<py::object>(type);
    const auto held_value = py::reinterpret_steal<py::object>(value);
    const auto held_trace = py::reinterpret_steal<py::object>(trace);
    std::string text = short_type_name(type);
    const auto message = py::reinterpret_steal<py::object>(PyObject_Str(value));
    std::string message_text;
    if (message && append_escaped(message_text, message.ptr())) {
        text += ": " + message_text;
    } else {
        clear_refusal_or_stop();
    }
    return text;
}

bool append_utf8(std::string &text, PyObject *str)
{
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(str, &size);
    if (utf8 == nullptr) {
        return false;
    }
    text.append(utf8, static_cast<std::size_t>(size));
    return true;
}

bool append_escaped(std::string &text, PyObject *str)
{
    const auto utf8 = py::reinterpret_steal<py::object>(PyUnicode_AsEncodedString(str, "utf-8", "backslashreplace"));
    if (!utf8) {
        return false;
    }
    text.append(PyBytes_AS_STRING(utf8.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(utf8.ptr())));
    return true;
}

} // namespace veldspray
