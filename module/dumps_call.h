// The entry of dumps: the function that pybind11 registers, and the call
// front that the module publishes in its place.
#pragma once

#include "value_variant.h"

#include <pybind11/pybind11.h>

#include <cstdint>

namespace veldspray {

// dumps as pybind11 registers it: pybind11 composes the signature and the
// docstring from its type and the caster of value_variant (module.cpp). It is
// never called, nor is that caster's load: make_dumps publishes the call front
// in its place before the module can be used, and the front takes every call.
pybind11::bytes dumps(const value_variant &value, bool indefinite, std::uint64_t max_depth);

// The dumps that `module` publishes: a function of that module with the name
// and the docstring of `registered`, the function that pybind11 made for
// dumps, that takes every call itself, arguments and argument errors included.
pybind11::object make_dumps(pybind11::handle module, pybind11::handle registered);

} // namespace veldspray
