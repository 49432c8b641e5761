// The Python module veldspray_cbor: its docstring, its version and dumps.
#include "nesting_guard.h"
#include "value_encoder.h"
#include "value_variant.h"

#include <pybind11/pybind11.h>

#include <cstdint>

namespace pybind11::detail {

// The top-level argument is classified by the same rules as every nested
// value (a pass without conversion, then one with it), so that what dumps
// accepts does not depend on the binding library's own casters.
template <>
struct type_caster<veldspray::value_variant> {
    PYBIND11_TYPE_CASTER(veldspray::value_variant,
                         _("Union[bool, float, int, list, tuple, dict, bytes, str, bool, int, int, str, None]"));

    bool load(handle source, bool convert) {
        // dumps called again from a value's own Python code nests on this
        // thread's stack with no container in between.
        veldspray::check_native_stack(veldspray::native_stack_floor());
        return convert ? veldspray::classify_fully(source, value) : veldspray::classify_value(source, false, value);
    }
};

}  // namespace pybind11::detail

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

template <length_mode Lengths, depth_policy Depth>
py::bytes encode(const value_variant &value, std::uint64_t max_depth) {
    buffer_handle output(cbor::buffer_new());
    if (!output) {
        throw_memory_error();
    }
    value_encoder<Lengths, Depth> encoder(std::move(output), max_depth);
    encoder.encode_value(value);
    const cbor::cbor_buffer &result = *encoder.buffer;
    return py::bytes(reinterpret_cast<const char *>(result.data), static_cast<std::size_t>(result.size));
}

py::bytes dumps(const value_variant &value, bool indefinite, std::uint64_t max_depth) {
    if (indefinite) {
        return max_depth != 0 ? encode<length_mode::indefinite, depth_policy::limited>(value, max_depth)
                              : encode<length_mode::indefinite, depth_policy::unlimited>(value, max_depth);
    }
    return max_depth != 0 ? encode<length_mode::definite, depth_policy::limited>(value, max_depth)
                          : encode<length_mode::definite, depth_policy::unlimited>(value, max_depth);
}

}  // namespace
}  // namespace veldspray

PYBIND11_MODULE(veldspray_cbor, module) {
    namespace py = pybind11;
    module.doc() = veldspray::module_doc;
    module.def("dumps", &veldspray::dumps, veldspray::dumps_doc, py::arg("value"), py::arg("indefinite") = true,
               py::arg("max_depth") = 0);
    module.attr("__version__") = VELDSPRAY_VERSION;
}
