// A minimal check harness for the codec tests: counts results, prints the
// failures and a final summary line, and turns failures into the exit status.
#ifndef VELDSPRAY_CODEC_CHECK_H
#define VELDSPRAY_CODEC_CHECK_H

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

#include "veldspray_codec.h"

using namespace veldspray::cbor;

using bytes = std::vector<uint8_t>;

inline int checks_passed = 0;
inline int checks_failed = 0;

inline void check(bool ok, const std::string &what)
{
    if (ok) {
        ++checks_passed;
    } else {
        ++checks_failed;
        std::printf("FAIL: %s\n", what.c_str());
    }
}

inline int finish()
{
    std::printf("codec: %d passed, %d failed\n", checks_passed, checks_failed);
    return checks_failed == 0 ? 0 : 1;
}

inline std::string hex(const uint8_t *data, uint64_t size)
{
    std::string out;
    char digits[4];
    for (uint64_t i = 0; i < size; ++i) {
        std::snprintf(digits, sizeof digits, i ? " %02X" : "%02X", data[i]);
        out += digits;
    }
    return out;
}

inline std::string hex(const bytes &data)
{
    return hex(data.data(), data.size());
}

inline std::string hex(const cbor_buffer *buffer)
{
    return hex(buffer->data, buffer->size);
}

// Parses "F9 7E 00" (spaces optional) into bytes.
inline bytes from_hex(const std::string &text)
{
    bytes out;
    for (size_t i = 0; i + 1 < text.size();) {
        if (text[i] == ' ') {
            ++i;
            continue;
        }
        out.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
        i += 2;
    }
    return out;
}

// The rows of a table under tests/tables that the Python tests read too: each
// is a value as written there and the expected bytes in hex, spaced as hex()
// spaces them. Lines starting with '#' are comments; words past the second
// column are notes.
inline std::vector<std::pair<std::string, std::string>> read_table(const std::string &name)
{
    std::ifstream file(std::string(VELDSPRAY_TEST_TABLES) + "/" + name);
    check(file.is_open(), "table " + name + " opens");
    std::vector<std::pair<std::string, std::string>> rows;
    for (std::string line; std::getline(file, line);) {
        std::istringstream fields(line);
        std::string value, expected;
        if (line.empty() || line[0] == '#' || !(fields >> value >> expected))
            continue;
        rows.emplace_back(value, hex(from_hex(expected)));
    }
    return rows;
}

// Runs `body` with the standard error stream redirected to a temporary file
// and returns what was written there.
template <typename Body>
std::string capture_stderr(Body body)
{
    std::fflush(stderr);
    FILE *sink = std::tmpfile();
    int saved = dup(fileno(stderr));
    dup2(fileno(sink), fileno(stderr));
    body();
    std::fflush(stderr);
    dup2(saved, fileno(stderr));
    close(saved);
    std::string text;
    std::fseek(sink, 0, SEEK_SET);
    for (int c; (c = std::fgetc(sink)) != EOF;)
        text += static_cast<char>(c);
    std::fclose(sink);
    return text;
}

#endif
