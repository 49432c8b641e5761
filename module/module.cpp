// The Python module veldspray_cbor: its docstring, its version and dumps.
#include "dumps_call.h"
#include "value_variant.h"

#include <pybind11/pybind11.h>

#include <cstdint>

namespace pybind11::detail {

// pybind11 writes the signature of dumps from this caster's name. The top-level
// argument is classified by the same rules as every nested value (a pass
// without conversion, then one with it); in practice the call front
// (make_dumps) converts every call's arguments itself.
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

} // namespace
} // namespace veldspray

PYBIND11_MODULE(veldspray_cbor, module)
{
    namespace py = pybind11;
    module.doc() = veldspray::module_doc;
    module.def("dumps", &veldspray::dumps, veldspray::dumps_doc, py::arg("value"), py::arg("indefinite") = true,
               py::arg("max_depth") = 0);
    module.attr("dumps") = veldspray::make_dumps(module, module.attr("dumps"));
    module.attr("__version__") = VELDSPRAY_VERSION;
}
