// Integers: written when they fit in 64 bits, refused with a range error that
// quotes the start of the value's text otherwise.
#pragma once

#include "output.h"

#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>

namespace veldspray {

// Writes an int (or int subclass instance) that equals its own unsigned or
// signed 64-bit conversion; raises the range error for any other.
void encode_int(encoder_output &encoder, pybind11::handle value);

// str() of the value as UTF-8, cut to at most `limit` bytes, or a
// "failed with ..." text when str() fails.
std::string describe_value(pybind11::handle value, std::uint64_t limit);

} // namespace veldspray
