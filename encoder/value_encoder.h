// The visitor that writes a classified value, and everything inside it, to a
// CBOR buffer. Its four configurations (definite or indefinite lengths, with
// or without a depth limit) are separate instantiations, chosen once per call,
// so the per-element path tests neither setting.
#pragma once

#include "depth.h"
#include "errors.h"
#include "integer.h"
#include "output.h"
#include "value_variant.h"
#include "veldspray_codec.h"

#include <cstdint>
#include <string_view>
#include <variant>

namespace veldspray {

enum class length_mode { definite, indefinite };

template <length_mode Lengths, depth_policy Depth>
class value_encoder : public encoder_output, private depth_tracking<Depth> {
public:
    value_encoder(buffer_handle output, std::uint64_t max_depth, const call_stack &native_stack)
        : encoder_output{std::move(output)},
          depth_tracking<Depth>(max_depth),
          stack(native_stack)
    {
    }

    void encode_value(const value_variant &value)
    {
        switch (value.index()) {
        case kind_bool_object:
            return encode_truth(PyLong_AsLong(get<kind_bool_object>(value)) != 0);
        case kind_float:
            return encode_float(get<kind_float>(value));
        case kind_int:
            return encode_int(*this, get<kind_int>(value));
        case kind_list:
            return encode_list(get<kind_list>(value));
        case kind_tuple:
            return encode_tuple(get<kind_tuple>(value));
        case kind_dict:
            return encode_dict(get<kind_dict>(value));
        case kind_bytes:
            return encode_bytes(get<kind_bytes>(value));
        case kind_str:
            return encode_str(get<kind_str>(value));
        case kind_truth:
            return encode_truth(std::get<kind_truth>(value));
        case kind_uint64:
            return check_written(cbor::write_uint(buffer.get(), std::get<kind_uint64>(value)));
        case kind_int64:
            return check_written(write_int64(buffer.get(), std::get<kind_int64>(value)));
        case kind_utf8_view:
            return encode_text(std::get<kind_utf8_view>(value));
        case kind_none:
            return check_written(cbor::write_null(buffer.get()));
        default:
            throw std::bad_variant_access();
        }
    }

    // Classifies one element of a container and writes it. The exact
    // built-in types (exact_builtin_kind) always land in the same kind, so
    // they are written straight away; everything else goes through the full
    // classification.
    void encode_item(py::handle item)
    {
        PyObject *object = item.ptr();
        switch (exact_builtin_kind(object)) {
        case kind_str:
            return encode_str(object);
        case kind_int:
            return encode_int(*this, object);
        case kind_float:
            return encode_float(object);
        case kind_none:
            return check_written(cbor::write_null(buffer.get()));
        case kind_bool_object:
            return encode_truth(object == Py_True);
        case kind_list:
            return encode_list(object);
        case kind_dict:
            return encode_dict(object);
        case kind_tuple:
            return encode_tuple(object);
        case kind_bytes:
            return encode_bytes(object);
        default:
            break;
        }
        value_variant value;
        if (!classify_fully(item, value)) {
            throw_cast_error();
        }
        encode_value(value);
    }

private:
    using container_guard = typename depth_tracking<Depth>::container_guard;

    // Where the call entered the native stack, which its containers check.
    const call_stack stack;

    template <std::size_t Kind>
    static PyObject *get(const value_variant &value)
    {
        return std::get<Kind>(value).ptr();
    }

    void encode_element(py::handle item)
    {
        this->enter_element();
        encode_item(item);
        this->leave_element();
    }

    void start_container(std::int32_t (*write_header)(cbor::cbor_buffer *, std::uint64_t), Py_ssize_t count)
    {
        const std::uint64_t head =
            Lengths == length_mode::indefinite ? cbor::UNSIZED : static_cast<std::uint64_t>(count);
        check_written(write_header(buffer.get(), head));
    }

    void end_container()
    {
        if constexpr (Lengths == length_mode::indefinite) {
            check_written(cbor::write_break(buffer.get()));
        }
    }

    // Python code run while an element is classified may shrink or grow the
    // list, so the size is checked before every read and each element is held
    // by a reference of its own while it is written.
    void encode_list(PyObject *list)
    {
        const container_guard guard(stack);
        const Py_ssize_t count = PyList_GET_SIZE(list);
        start_container(cbor::write_array_header, count);
        for (Py_ssize_t index = 0; index < count; ++index) {
            if (PyList_GET_SIZE(list) != count) {
                throw_runtime_error(error_text::list_changed_size);
            }
            encode_element(py::reinterpret_borrow<py::object>(PyList_GET_ITEM(list, index)));
        }
        if (PyList_GET_SIZE(list) != count) {
            throw_runtime_error(error_text::list_changed_size);
        }
        end_container();
    }

    // A tuple cannot change while it is alive, and this one is held by the
    // caller's value, so its elements are read as they are.
    void encode_tuple(PyObject *tuple)
    {
        const container_guard guard(stack);
        const Py_ssize_t count = PyTuple_GET_SIZE(tuple);
        start_container(cbor::write_array_header, count);
        for (Py_ssize_t index = 0; index < count; ++index) {
            encode_element(PyTuple_GET_ITEM(tuple, index));
        }
        end_container();
    }

    // Entries come from the dict's own storage, in insertion order. Python
    // code run while an entry is written may change the dict. A change of
    // size is refused, and so are entries moved so that reading on would skip
    // some or repeat one (compacted, emptied and refilled, a key written
    // already put back at the end). Otherwise the entries are read on as they
    // then are, as the interpreter's own iteration reads them: a value
    // replaced, or a later key deleted and another added, is written as it is
    // found.
    void encode_dict(PyObject *dict)
    {
        const container_guard guard(stack);
        const Py_ssize_t count = PyDict_GET_SIZE(dict);
        start_container(cbor::write_map_header, count);
        Py_ssize_t position = 0;
        Py_ssize_t seen = 0;
        PyObject *key = nullptr;
        PyObject *item = nullptr;
        std::uint64_t version = dict_version(dict);
        while (PyDict_Next(dict, &position, &key, &item)) {
            if (++seen > count) {
                throw_runtime_error(error_text::dict_changed);
            }
            const py::object held_key = py::reinterpret_borrow<py::object>(key);
            const py::object held_item = py::reinterpret_borrow<py::object>(item);
            this->enter_element();
            encode_item(held_key);
            encode_item(held_item);
            this->leave_element();
            if (PyDict_GET_SIZE(dict) != count) {
                throw_runtime_error(error_text::dict_changed_size);
            }
            if (dict_version(dict) != version) {
                if (!entry_in_place(dict, position, held_key.ptr())) {
                    throw_runtime_error(error_text::dict_changed);
                }
                version = dict_version(dict);
            }
        }
        if (seen != count) {
            throw_runtime_error(error_text::dict_changed);
        }
        end_container();
    }

    // The interpreter's count of the dict's changes, which moves on with each
    // one: while it stands still, no Python code has changed the dict.
    static std::uint64_t dict_version(PyObject *dict) { return reinterpret_cast<PyDictObject *>(dict)->ma_version_tag; }

    // Whether `key` is still the entry just before `position`. A dict whose
    // entries were compacted, or emptied and refilled with other keys, has
    // moved the entries that are still to come, so reading on from
    // `position` would skip some or repeat others.
    static bool entry_in_place(PyObject *dict, Py_ssize_t position, PyObject *key)
    {
        Py_ssize_t at = position - 1;
        PyObject *found = nullptr;
        PyObject *item = nullptr;
        return PyDict_Next(dict, &at, &found, &item) && at == position && found == key;
    }

    void encode_bytes(PyObject *bytes)
    {
        char *data = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(bytes, &data, &size) != 0) {
            throw_runtime_error(error_text::bytes_contents);
        }
        check_written(cbor::write_bytes(buffer.get(), data, static_cast<std::uint64_t>(size)));
    }

    void encode_str(PyObject *text)
    {
        Py_ssize_t size = 0;
        const char *data = PyUnicode_AsUTF8AndSize(text, &size);
        if (data == nullptr) {
            clear_refusal_or_stop();
            throw_cast_error();
        }
        encode_text(std::string_view(data, static_cast<std::size_t>(size)));
    }

    void encode_text(std::string_view text) { check_written(cbor::write_text(buffer.get(), text.data(), text.size())); }

    void encode_truth(bool truth)
    {
        check_written(truth ? cbor::write_true(buffer.get()) : cbor::write_false(buffer.get()));
    }

    void encode_float(PyObject *number) { check_written(cbor::write_float(buffer.get(), PyFloat_AS_DOUBLE(number))); }
};

} // namespace veldspray
