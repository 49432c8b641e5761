#include "value_encoder.h"

#include <stdexcept>
#include <string>

namespace veldspray {

void enter_level(depth_counter &counter) {
    if (++counter.depth > counter.limit) {
        throw std::runtime_error("Exceeded recursion limit:" + std::to_string(counter.limit));
    }
}

void throw_changed_during_encoding(const char *what) { throw std::runtime_error(what); }

}  // namespace veldspray
