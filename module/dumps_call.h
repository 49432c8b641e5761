// The two ways into dumps: the function that pybind11 registers, and the
// fast-call front that the module publishes in its place.
#pragma once

#include "value_variant.h"

#include <pybind11/pybind11.h>

#include <cstdint>

namespace veldspray {

// dumps with its arguments converted by pybind11.
pybind11::bytes dumps(const value_variant &value, bool indefinite, std::uint64_t max_depth);

// A function named dumps, in module `module_name`, with the docstring of
// `registered` (the function that pybind11 made for dumps). It runs the calls
// whose arguments need no conversion itself and hands every other call,
// untouched, to `registered`, which it holds as its __self__.
pybind11::object make_fast_dumps(pybind11::object registered, pybind11::handle module_name);

}  // namespace veldspray
