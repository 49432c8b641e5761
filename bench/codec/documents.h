// Document-shaped CBOR streams written through the codec alone: an array of
// records, each a map of six text keys to a small unsigned integer, two text
// values of 5 to 140 bytes, a large unsigned integer, a float (through the
// float writer) and a boolean, as a JSON document of records turns out.
#pragma once

#include <cstdint>

#include "veldspray_codec.h"

namespace veldspray::bench {

// Appends `records` records, the same bytes for the same `seed` everywhere
// (about 155 bytes a record); returns 0, or -1 when a write failed.
std::int32_t write_records(cbor::cbor_buffer *buffer, std::uint32_t records, std::uint64_t seed) noexcept;

} // namespace veldspray::bench
