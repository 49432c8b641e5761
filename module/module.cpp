// The Python module veldspray_cbor: its docstring, its version and dumps.
#include "dumps_call.h"
#include "value_variant.h"

#include <pybind11/pybind11.h>

#include <cstdint>
#include <exception>

namespace pybind11::detail {

// pybind11 writes the signature of dumps from this caster's name. Its load is
// never called, nor is the dumps that pybind11 registers (dumps_call.h), but
// it stays, classifying as the call front does: with a load that returned
// false, GCC's link-time inlining laid out the call front otherwise, and
// dumps(2.5) took 7% longer for the same instructions.
template <>
struct type_caster<veldspray::value_variant> {
    PYBIND11_TYPE_CASTER(veldspray::value_variant,
                         _("Union[bool, float, int, list, tuple, dict, bytes, str, bool, int, int, str, None]"));

    bool load(handle source, bool convert)
    {
        return convert ? veldspray::classify_fully(source, value) : veldspray::classify_value(source, false, value);
    }
};

} // namespace pybind11::detail

namespace veldspray {
namespace {

constexpr const char *module_doc = R"(
        Veldspray cbor
        -----------------------

        .. currentmodule:: veldspray_cbor

        .. autosummary::
           :toctree: _generate

           dumps
    )";

constexpr const char *dumps_doc = R"(
    Dump a Python object to cbor
    )";

// The module body: its docstring, dumps, and its version.
void fill_module(py::module_ &module)
{
    module.doc() = module_doc;
    module.def("dumps", &dumps, dumps_doc, py::arg("value"), py::arg("indefinite") = true, py::arg("max_depth") = 0);
    module.attr("dumps") = make_dumps(module, module.attr("dumps"));
    module.attr("__version__") = VELDSPRAY_VERSION;
}

// Fills each interpreter's own module object, failing as PYBIND11_MODULE's
// entry fails.
int exec_module(PyObject *created) noexcept
{
    auto module = py::reinterpret_borrow<py::module_>(created);
    try {
        fill_module(module);
        return 0;
    } catch (py::error_already_set &error) {
        py::raise_from(error, PyExc_ImportError, "initialization failed");
    } catch (const std::exception &error) {
        PyErr_SetString(PyExc_ImportError, error.what());
    }
    return -1;
}

// Initialised in two phases, as the interpreter creates the module and then
// runs its body, so that every interpreter that imports it gets a module and
// a dumps of its own. In one phase (PyModule_Create), the interpreter copies
// the first interpreter's module into the later ones, runs the entry again
// once the first one is destroyed, and leaks that first module when it is
// destroyed while a copy lives on.
PyModuleDef_Slot module_slots[] = {{Py_mod_exec, reinterpret_cast<void *>(&exec_module)}, {0, nullptr}};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "veldspray_cbor", // m_name
    nullptr,          // m_doc: the body sets __doc__
    0,                // m_size: no state of its own
    nullptr,          // m_methods: the body adds dumps
    module_slots,     // m_slots
    nullptr,          // m_traverse
    nullptr,          // m_clear
    nullptr,          // m_free
};

} // namespace
} // namespace veldspray

// The entry checks the interpreter's version as PYBIND11_MODULE's does, and
// leaves out its next step: setting up the internals that pybind11 shares
// between the modules of a process. That takes the interpreter lock through
// PyGILState_Ensure, which waits forever on a thread that holds the lock
// through another interpreter's thread state, as a sub-interpreter's import
// does. The module needs none of them: it registers no class and translates
// its own errors (dumps_call.cpp).
extern "C" PYBIND11_EXPORT PyObject *PyInit_veldspray_cbor()
{
    PYBIND11_CHECK_PYTHON_VERSION
    return PyModuleDef_Init(&veldspray::module_definition);
}
