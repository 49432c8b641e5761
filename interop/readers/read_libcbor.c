/* Reads one CBOR item per input line (hex) with libcbor and prints each as
 * the shared rendering, or "!" and the reason it was refused. */
#include <cbor.h>
#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static void print_hex(const unsigned char *data, size_t length)
{
    for (size_t i = 0; i < length; i++)
        printf("%02x", data[i]);
}

static int hex_digit(char digit)
{
    return digit <= '9' ? digit - '0' : digit - 'a' + 10;
}

static void print_float(double value)
{
    if (value != value) {
        printf("fnan");
        return;
    }
    uint64_t bits;
    memcpy(&bits, &value, sizeof bits);
    printf("f%016" PRIx64, bits);
}

/* dumps writes every string with its length, never in chunks. */
static void print_string(cbor_item_t *item, char prefix)
{
    int bytes = prefix == 'h';
    if (!(bytes ? cbor_bytestring_is_definite(item) : cbor_string_is_definite(item))) {
        printf("?chunked");
        return;
    }
    putchar(prefix);
    print_hex(bytes ? cbor_bytestring_handle(item) : cbor_string_handle(item),
              bytes ? cbor_bytestring_length(item) : cbor_string_length(item));
}

static void render(cbor_item_t *item)
{
    switch (cbor_typeof(item)) {
    case CBOR_TYPE_UINT:
        printf("%" PRIu64, cbor_get_int(item));
        break;
    case CBOR_TYPE_NEGINT:
        if (cbor_get_int(item) == UINT64_MAX)
            printf("-18446744073709551616");
        else
            printf("-%" PRIu64, cbor_get_int(item) + 1);
        break;
    case CBOR_TYPE_BYTESTRING:
        print_string(item, 'h');
        break;
    case CBOR_TYPE_STRING:
        print_string(item, 's');
        break;
    case CBOR_TYPE_ARRAY:
        putchar('[');
        for (size_t i = 0; i < cbor_array_size(item); i++) {
            if (i)
                putchar(',');
            render(cbor_array_handle(item)[i]);
        }
        putchar(']');
        break;
    case CBOR_TYPE_MAP:
        putchar('{');
        for (size_t i = 0; i < cbor_map_size(item); i++) {
            if (i)
                putchar(',');
            render(cbor_map_handle(item)[i].key);
            putchar(':');
            render(cbor_map_handle(item)[i].value);
        }
        putchar('}');
        break;
    case CBOR_TYPE_FLOAT_CTRL:
        if (!cbor_float_ctrl_is_ctrl(item))
            print_float(cbor_float_get_float(item));
        else if (cbor_is_null(item))
            putchar('N');
        else if (cbor_is_bool(item))
            putchar(cbor_get_bool(item) ? 'T' : 'F');
        else
            printf("?simple%d", cbor_ctrl_value(item));
        break;
    default:
        printf("?type%d", (int)cbor_typeof(item));
    }
}

int main(void)
{
    static const char *const errors[] = {"none",      "not enough data", "no data",
                                         "malformed", "out of memory",   "syntax error"};
    char *line = NULL;
    size_t capacity = 0;
    ssize_t length;
    unsigned char *item_bytes = NULL;
    while ((length = getline(&line, &capacity, stdin)) > 0) {
        size_t size = (size_t)length / 2;
        item_bytes = realloc(item_bytes, size ? size : 1);
        if (!item_bytes)
            return 1;
        for (size_t i = 0; i < size; i++)
            item_bytes[i] = (unsigned char)(hex_digit(line[2 * i]) << 4 | hex_digit(line[2 * i + 1]));
        struct cbor_load_result result;
        cbor_item_t *item = cbor_load(item_bytes, size, &result);
        if (!item)
            printf("!%s at byte %zu", errors[result.error.code], result.error.position);
        else if (result.read != size)
            printf("!%zu bytes after the item", size - result.read);
        else
            render(item);
        putchar('\n');
        if (item)
            cbor_decref(&item);
    }
    free(item_bytes);
    free(line);
    return 0;
}
