// The item reader: runs read item by item against expected heads, copies,
// cursor positions, the indefinite flag and the standard error output.
#include <cmath>
#include <cstring>
#include <memory>

#include "check.h"
#include "ieee754.h"

namespace {

struct expect {
    uint8_t initial_byte;
    int32_t major_type;
    uint64_t value; // ignored for string items, whose copy is checked instead
    int64_t length;
    int32_t in_indefinite;
    // NOLINTNEXTLINE(readability-redundant-string-init): an initializer lets rows leave the field out
    std::string copy = ""; // hex of the string copy, with the NUL of text
};

struct read_row {
    std::string run;
    std::vector<expect> items;
    int32_t remaining_after; // once read_item has returned none
    // NOLINTNEXTLINE(readability-redundant-string-init): an initializer lets rows leave the field out
    std::string error_output = "";
};

const uint64_t all_ones = ~uint64_t{0};
const uint64_t negative_nan = 0xfff8000000000000u;
const uint64_t positive_nan = 0x7ff8000000000000u;

// clang-format off
// NOLINTNEXTLINE(bugprone-throwing-static-initialization): a test table; failing to build it ends the test
const std::vector<read_row> read_rows = {
    {"", {}, 0},
    {"18", {}, 0},
    {"17", {{0x17, 0, 23, 0, 0}}, 0},
    {"18 18", {{0x18, 0, 24, 0, 0}}, 0},
    {"19 01 00", {{0x19, 0, 256, 0, 0}}, 0},
    {"1A 00 01 00 00", {{0x1a, 0, 65536, 0, 0}}, 0},
    {"1B FF FF FF FF FF FF FF FF", {{0x1b, 0, all_ones, 0, 0}}, 0},
    {"1A 00 01 00", {}, 3},
    {"20", {{0x20, 1, all_ones, 0, 0}}, 0},
    {"38 63", {{0x38, 1, static_cast<uint64_t>(-100), 0, 0}}, 0},
    {"3B 7F FF FF FF FF FF FF FF", {{0x3b, 1, static_cast<uint64_t>(INT64_MIN), 0, 0}}, 0},
    {"39 01", {}, 1},
    {"40", {{0x40, 2, 0, 0, 0}}, 0},
    {"43 01 02", {}, 2},
    {"44 01 02 03 04", {{0x44, 2, 0, 4, 0, "01 02 03 04"}}, 0},
    {"63 61 62 63", {{0x63, 3, 0, 3, 0, "61 62 63 00"}}, 0},
    {"60", {{0x60, 3, 0, 0, 0, "00"}}, 0},
    {"78 01 41 01", {{0x78, 3, 0, 1, 0, "41 00"}, {0x01, 0, 1, 0, 0}}, 0},
    {"5B FF FF FF FF FF FF FF FF", {}, 0},
    {"7B 00 00 00 01 00 00 00 00 61", {}, 1},
    {"59 00", {}, 1},
    {"62 61", {}, 1},
    {"99 00", {}, 1},
    {"82 01 02", {{0x82, 4, 0, 2, 0}, {0x01, 0, 1, 0, 0}, {0x02, 0, 2, 0, 0}}, 0},
    {"B9 03 E8", {{0xb9, 5, 0, 1000, 0}}, 0},
    {"9B FF FF FF FF FF FF FF FF", {{0x9b, 4, 0, -1, 0}}, 0},
    {"9F 01 FF", {{0x9f, 4, 0, -1, 1}, {0x01, 0, 1, 0, 1}, {0xff, 7, 0, 0, 0}}, 0},
    {"9F 9F FF", {{0x9f, 4, 0, -1, 1}, {0x9f, 4, 0, -1, 1}, {0xff, 7, 0, 0, 0}}, 0},
    {"5F 7F BF", {{0x5f, 2, 0, -1, 1}, {0x7f, 3, 0, -1, 1}, {0xbf, 5, 0, -1, 1}}, 0},
    {"C1 1A 00 00 00 01", {{0xc1, 6, 0, 0, 0}, {0x1a, 0, 1, 0, 0}}, 0},
    {"D8 20", {{0xd8, 6, 0, 0, 0}, {0x20, 1, all_ones, 0, 0}}, 0},
    {"1C 3F 5C 7E 9C BE FC", {{0x1c, 0, 0, 0, 0}, {0x3f, 1, 0, 0, 0}, {0x5c, 2, 0, 0, 0}, {0x7e, 3, 0, 0, 0},
                              {0x9c, 4, 0, 0, 0}, {0xbe, 5, 0, 0, 0}, {0xfc, 7, 0, 0, 0}}, 0},
    {"F4 F5 F6 F7", {{0xf4, 7, 0, 0, 0}, {0xf5, 7, 0, 0, 0}, {0xf6, 7, 0, 0, 0}, {0xf7, 7, 0, 0, 0}}, 0},
    {"E0", {{0xe0, 7, 0, 0, 0}}, 0, "Unimplemented CBOR code: e0\n"},
    {"F8 10", {{0xf8, 7, 0, 0, 0}, {0x10, 0, 16, 0, 0}}, 0, "Unimplemented CBOR code: f8\n"},
    {"F3 F8", {{0xf3, 7, 0, 0, 0}, {0xf8, 7, 0, 0, 0}}, 0,
     "Unimplemented CBOR code: f3\nUnimplemented CBOR code: f8\n"},
    {"F9 3C 00", {{0xf9, 7, double_to_bits(1.0), 0, 0}}, 0},
    {"F9 7B FF", {{0xf9, 7, double_to_bits(65504.0), 0, 0}}, 0},
    {"F9 04 00", {{0xf9, 7, double_to_bits(0x1p-14), 0, 0}}, 0},
    {"F9 03 FF", {{0xf9, 7, double_to_bits(1023 * 0x1p-24), 0, 0}}, 0},
    {"F9 00 01", {{0xf9, 7, double_to_bits(0x1p-24), 0, 0}}, 0},
    {"F9 80 00", {{0xf9, 7, double_to_bits(-0.0), 0, 0}}, 0},
    {"F9 C0 00", {{0xf9, 7, double_to_bits(-2.0), 0, 0}}, 0},
    {"F9 7C 00", {{0xf9, 7, double_to_bits(INFINITY), 0, 0}}, 0},
    // NOLINTNEXTLINE(bugprone-narrowing-conversions): -INFINITY widens to double exactly
    {"F9 FC 00", {{0xf9, 7, double_to_bits(-INFINITY), 0, 0}}, 0},
    {"F9 7E 00", {{0xf9, 7, negative_nan, 0, 0}}, 0},
    {"F9 7C 01", {{0xf9, 7, negative_nan, 0, 0}}, 0},
    {"F9 FE 00", {{0xf9, 7, positive_nan, 0, 0}}, 0},
    {"F9 3C", {}, 1},
    {"FA 3F 80 00 00", {{0xfa, 7, double_to_bits(1.0), 0, 0}}, 0},
    {"FA 00 00 00 01", {{0xfa, 7, double_to_bits(0x1p-149), 0, 0}}, 0},
    {"FA 7F 80 00 00", {{0xfa, 7, double_to_bits(INFINITY), 0, 0}}, 0},
    // NOLINTNEXTLINE(bugprone-narrowing-conversions): -INFINITY widens to double exactly
    {"FA FF 80 00 00", {{0xfa, 7, double_to_bits(-INFINITY), 0, 0}}, 0},
    {"FA 7F FC 00 00", {{0xfa, 7, negative_nan, 0, 0}}, 0},
    {"FA 7F C0 00 00", {{0xfa, 7, positive_nan, 0, 0}}, 0},
    {"FA 3F 80 00", {}, 3},
    {"FB 3F F0 00 00 00 00 00 00", {{0xfb, 7, double_to_bits(1.0), 0, 0}}, 0},
    {"FB 7F F0 00 00 00 00 00 01", {{0xfb, 7, 0x7ff0000000000001u, 0, 0}}, 0},
    {"FB 3F F0 00 00 00 00 00", {}, 7},
    {"F9 41 00 FA 40 20 00 00 FB 40 04 00 00 00 00 00 00",
     {{0xf9, 7, double_to_bits(2.5), 0, 0}, {0xfa, 7, double_to_bits(2.5), 0, 0}, {0xfb, 7, double_to_bits(2.5), 0, 0}}, 0},
};
// clang-format on

std::string describe(const cbor_item *item)
{
    char text[96];
    std::snprintf(text, sizeof text, "{%02X, %d, %016llX, %lld}", item->initial_byte, item->major_type,
                  static_cast<unsigned long long>(item->value), static_cast<long long>(item->length));
    return text;
}

void check_read_row(const read_row &row)
{
    bytes run = from_hex(row.run);
    cbor_reader *reader = reader_new(run.data(), run.size());
    std::string where = "run [" + row.run + "]";
    std::string error_output = capture_stderr([&] {
        for (size_t i = 0; i < row.items.size(); ++i) {
            const expect &want = row.items[i];
            cbor_item *item = read_item(reader);
            std::string at = where + " item " + std::to_string(i);
            if (!item) {
                check(false, at + ": got none");
                continue;
            }
            bool is_string = (want.major_type == 2 || want.major_type == 3) && (want.initial_byte & 0x1f) <= 27;
            bool same = item->initial_byte == want.initial_byte && item->major_type == want.major_type &&
                        item->length == want.length && (is_string || item->value == want.value) &&
                        reader->in_indefinite == want.in_indefinite;
            check(same, at + ": got " + describe(item));
            if (is_string && item->length > 0)
                check(hex(reinterpret_cast<const uint8_t *>(item->value), item->length + (want.major_type == 3)) ==
                          want.copy,
                      at + ": copy " + want.copy);
            else if (is_string && want.major_type == 3)
                check(*reinterpret_cast<const char *>(item->value) == '\0', at + ": empty text is NUL-terminated");
            item_free(item);
        }
    });
    check(read_item(reader) == nullptr, where + ": none after the items");
    check(reader_remaining(reader) == row.remaining_after,
          where + ": remaining " + std::to_string(reader_remaining(reader)));
    if (row.remaining_after == 0)
        check(read_item(reader) == nullptr && reader_remaining(reader) == 0, where + ": none again at the end");
    check(error_output == row.error_output, where + ": standard error [" + error_output + "]");
    reader_free(reader);
}

// Every initial byte, with the indefinite flag clear and set beforehand. Any
// argument that follows is 1 and everything else 0, so the bytes consumed,
// the fields, the flag and the diagnostic follow from the major type and the
// additional information alone (every float payload is zero: +0.0).
void check_every_initial_byte(int32_t in_indefinite)
{
    for (int byte = 0; byte < 256; ++byte) {
        int major = byte >> 5, info = byte & 0x1f;
        bool has_argument = major <= 5 && info <= 27, indefinite = major >= 2 && major <= 5 && info == 31;
        int argument_bytes = has_argument && info >= 24 ? 1 << (info - 24) : 0;
        uint64_t argument = !has_argument ? 0 : info < 24 ? info : 1;
        bool has_copy = has_argument && (major == 2 || major == 3);
        uint64_t value = major == 0 ? argument : major == 1 && has_argument ? ~argument : 0;
        int64_t length = indefinite ? -1 : has_argument && major >= 2 ? static_cast<int64_t>(argument) : 0;
        int consumed = 1 + argument_bytes + (has_copy ? static_cast<int>(argument) : 0);
        if (byte == 0xf9 || byte == 0xfa || byte == 0xfb)
            consumed = 1 + (2 << (byte - 0xf9));
        bool unimplemented = (byte >= 0xe0 && byte <= 0xf3) || byte == 0xf8;
        int32_t flag_after = byte == 0xff ? 0 : indefinite ? 1 : in_indefinite;

        bytes run(40, 0);
        run[0] = static_cast<uint8_t>(byte);
        if (argument_bytes > 0)
            run[argument_bytes] = 1;
        cbor_reader *reader = reader_new(run.data(), run.size());
        reader->in_indefinite = in_indefinite;
        cbor_item *item = nullptr;
        std::string error_output = capture_stderr([&] { item = read_item(reader); });
        char name[40];
        std::snprintf(name, sizeof name, "initial byte %02x (flag %d)", byte, in_indefinite);
        check(item && item->initial_byte == byte && item->major_type == major && item->length == length &&
                  (has_copy || item->value == value) && reader->in_indefinite == flag_after &&
                  reader_remaining(reader) == 40 - consumed,
              std::string(name) + ": consumed " + std::to_string(40 - reader_remaining(reader)) +
                  (item ? ", got " + describe(item) : ""));
        char message[40];
        std::snprintf(message, sizeof message, "Unimplemented CBOR code: %02x\n", byte);
        check(error_output == (unimplemented ? message : ""), std::string(name) + ": standard error");
        item_free(item);
        reader_free(reader);
    }
}

void check_copies_outlive_the_run()
{
    auto run = std::make_unique<bytes>(from_hex("65 68 65 6C 6C 6F 43 01 02 03"));
    cbor_reader *reader = reader_new(run->data(), run->size());
    cbor_item *text = read_item(reader);
    cbor_item *data = read_item(reader);
    reader_free(reader);
    run.reset();
    check(text && std::strcmp(reinterpret_cast<const char *>(text->value), "hello") == 0,
          "text copy outlives the reader and the run");
    check(data && std::memcmp(reinterpret_cast<const void *>(data->value), "\x01\x02\x03", 3) == 0,
          "byte copy outlives the reader and the run");
    item_free(text);
    item_free(data);
    item_free(nullptr);

    reader = reader_new(nullptr, 0);
    check(reader && reader_remaining(reader) == 0 && read_item(reader) == nullptr, "reader over no bytes");
    reader_free(reader);
}

} // namespace

int main()
{
    for (const auto &row : read_rows)
        check_read_row(row);
    check_every_initial_byte(0);
    check_every_initial_byte(1);
    check_copies_outlive_the_run();
    return finish();
}
