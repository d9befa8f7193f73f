#include "bindings/common/convert.hpp"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "document/utf8_encoding.hpp"

namespace vocarix::python {
namespace {

std::string type_name(py::handle object) { return Py_TYPE(object.ptr())->tp_name; }

// Re-raises a pending TypeError with the argument prefix; other errors pass unchanged.
[[noreturn]] void reraise_with_argument(const char* name) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
        py::error_already_set original;
        std::string message = std::string("argument '") + name + "': " + py::str(original.value()).cast<std::string>();
        raise(PyExc_TypeError, message);
    }
    throw py::error_already_set();
}

[[noreturn]] void raise_wrong_type(py::handle object, const char* name, const char* target) {
    raise(PyExc_TypeError,
          std::string("argument '") + name + "': '" + type_name(object) + "' object cannot be converted to '" + target + "'");
}

}  // namespace

void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw py::error_already_set();
}

std::string_view to_str(py::handle object, const char* name) {
    if (!PyUnicode_Check(object.ptr())) raise_wrong_type(object, name, "PyString");
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(object.ptr(), &size);
    if (!data) reraise_with_argument(name);
    return std::string_view(data, static_cast<std::size_t>(size));
}

Utf8Text to_large_str(py::handle object, const char* name) {
    if (!PyUnicode_Check(object.ptr())) raise_wrong_type(object, name, "PyString");
    PyObject* str = object.ptr();
    auto count = static_cast<std::size_t>(PyUnicode_GET_LENGTH(str));
    if (PyUnicode_IS_ASCII(str)) return {std::nullopt, std::string_view(static_cast<const char*>(PyUnicode_DATA(str)), count)};
    const auto kind = static_cast<std::size_t>(PyUnicode_KIND(str));
    TextBuffer buffer(utf8_bytes_per_unit(kind) * count);
    char* end = nullptr;
    switch (kind) {
        case PyUnicode_1BYTE_KIND: end = encode_utf8_units(PyUnicode_1BYTE_DATA(str), count, buffer.data()); break;
        case PyUnicode_2BYTE_KIND: end = encode_utf8_units(PyUnicode_2BYTE_DATA(str), count, buffer.data()); break;
        default: end = encode_utf8_units(PyUnicode_4BYTE_DATA(str), count, buffer.data()); break;
    }
    // At a lone surrogate the interpreter's own encoder raises the usual error.
    if (!end) return {std::nullopt, to_str(object, name)};
    buffer.set_size(static_cast<std::size_t>(end - buffer.data()));
    std::string_view text = buffer.view();
    return {std::move(buffer), text};
}

std::uint32_t to_u32(py::handle object, const char* name) {
    PyObject* index = PyNumber_Index(object.ptr());
    if (!index) reraise_with_argument(name);
    py::object owned = py::reinterpret_steal<py::object>(index);
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(index, &overflow);
    if (value == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow != 0 || value < 0 || value > static_cast<long long>(UINT32_MAX))
        raise(PyExc_OverflowError, "out of range integral type conversion attempted");
    return static_cast<std::uint32_t>(value);
}

std::uint64_t to_u64(py::handle object, const char* name) {
    PyObject* index = PyNumber_Index(object.ptr());
    if (!index) reraise_with_argument(name);
    py::object owned = py::reinterpret_steal<py::object>(index);
    unsigned long long value = PyLong_AsUnsignedLongLong(index);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw py::error_already_set();
    return value;
}

std::vector<std::string> to_str_list(py::handle object, const char* name) {
    if (PyUnicode_Check(object.ptr())) raise(PyExc_TypeError, std::string("argument '") + name + "': Can't extract `str` to `Vec`");
    if (!PySequence_Check(object.ptr())) raise_wrong_type(object, name, "Sequence");
    std::vector<std::string> items;
    Py_ssize_t hint = PySequence_Size(object.ptr());
    if (hint < 0) PyErr_Clear();
    else items.reserve(static_cast<std::size_t>(hint));
    PyObject* iterator = PyObject_GetIter(object.ptr());
    if (!iterator) reraise_with_argument(name);
    py::object owned_iterator = py::reinterpret_steal<py::object>(iterator);
    while (PyObject* item = PyIter_Next(iterator)) {
        py::object owned_item = py::reinterpret_steal<py::object>(item);
        items.emplace_back(to_str(owned_item, name));
    }
    if (PyErr_Occurred()) reraise_with_argument(name);
    return items;
}

std::vector<std::pair<std::string, std::uint64_t>> to_count_list(py::handle object, const char* name) {
    if (!PyDict_Check(object.ptr()))
        raise(PyExc_TypeError, std::string("argument '") + name + "': expected a dict of str to int");
    std::vector<std::pair<std::string, std::uint64_t>> counts;
    counts.reserve(static_cast<std::size_t>(PyDict_Size(object.ptr())));
    for (auto [key, value] : py::reinterpret_borrow<py::dict>(object))
        counts.emplace_back(std::string(to_str(key, name)), to_u64(value, name));
    return counts;
}

py::str make_str(std::string_view text) {
    PyObject* object = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
    if (!object) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(object);
}

namespace {

// Decodes one UTF-8 character at `p` and advances past it.
inline std::uint32_t decode_one(const unsigned char*& p) {
    std::size_t length = utf8_sequence_length(*p);
    std::uint32_t cp = decode_utf8_sequence(p, length);
    p += length;
    return cp;
}

#if defined(__SSE2__)
// Widens sixteen bytes to code units; the caller keeps only the ASCII ones.
template <class Unit>
inline void store_widened(__m128i bytes, Unit* out) {
    const __m128i zero = _mm_setzero_si128();
    if constexpr (sizeof(Unit) == 1) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), bytes);
    } else if constexpr (sizeof(Unit) == 2) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi8(bytes, zero));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), _mm_unpackhi_epi8(bytes, zero));
    } else {
        __m128i low = _mm_unpacklo_epi8(bytes, zero), high = _mm_unpackhi_epi8(bytes, zero);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi16(low, zero));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4), _mm_unpackhi_epi16(low, zero));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), _mm_unpacklo_epi16(high, zero));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 12), _mm_unpackhi_epi16(high, zero));
    }
}
#endif

// Decodes valid UTF-8 into `length` code units of one width. The ASCII run at
// the front of each sixteen bytes is widened in one step: document text is
// mostly ASCII with a non-ASCII character every few bytes.
template <class Unit>
void decode_utf8(const unsigned char* p, std::size_t size, Unit* out, std::size_t length) {
    const unsigned char* end = p + size;
    [[maybe_unused]] Unit* out_end = out + length;
    while (p < end) {
#if defined(__SSE2__)
        if (end - p >= 16 && out_end - out >= 16) {
            __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            auto non_ascii = static_cast<unsigned>(_mm_movemask_epi8(bytes));
            unsigned ascii = non_ascii ? static_cast<unsigned>(__builtin_ctz(non_ascii)) : 16;
            if (ascii) {
                store_widened(bytes, out);
                p += ascii;
                out += ascii;
                continue;
            }
        }
#endif
        // Non-ASCII text tends to come in runs (words of a script): decode the
        // whole run before looking for ASCII again.
        do {
            *out++ = static_cast<Unit>(decode_one(p));
        } while (p < end && static_cast<unsigned char>(*p) >= 0x80);
    }
}

}  // namespace

py::str make_large_str(std::string_view text, const TextStats& stats) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    // The largest byte fixes the str's kind exactly, and every byte that is
    // not a continuation byte starts one character.
    unsigned char widest = stats.largest_byte;
    Py_UCS4 max_char = widest < 0x80 ? 0x7F : widest < 0xC4 ? 0xFF : widest < 0xF0 ? 0xFFFF : 0x10FFFF;
    auto length = static_cast<Py_ssize_t>(text.size() - stats.continuation_bytes);
    PyObject* object = PyUnicode_New(length, max_char);
    if (!object) throw py::error_already_set();
    void* data = PyUnicode_DATA(object);
    switch (PyUnicode_KIND(object)) {
        case PyUnicode_1BYTE_KIND: decode_utf8(bytes, text.size(), static_cast<Py_UCS1*>(data), static_cast<std::size_t>(length)); break;
        case PyUnicode_2BYTE_KIND: decode_utf8(bytes, text.size(), static_cast<Py_UCS2*>(data), static_cast<std::size_t>(length)); break;
        default: decode_utf8(bytes, text.size(), static_cast<Py_UCS4*>(data), static_cast<std::size_t>(length)); break;
    }
    return py::reinterpret_steal<py::str>(object);
}

py::int_ make_int(std::uint64_t value) {
    PyObject* object = PyLong_FromUnsignedLongLong(value);
    if (!object) throw py::error_already_set();
    return py::reinterpret_steal<py::int_>(object);
}

namespace {

// A new list of `items.size()` items, each made by `make` (a new reference).
template <class Item, class Make>
py::list list_of(const std::vector<Item>& items, Make&& make) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(items.size()));
    if (!list) throw py::error_already_set();
    py::list owned = py::reinterpret_steal<py::list>(list);
    for (std::size_t i = 0; i < items.size(); ++i)
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), make(items[i]).release().ptr());
    return owned;
}

}  // namespace

py::tuple make_pair(py::object first, py::object second) {
    PyObject* tuple = PyTuple_New(2);
    if (!tuple) throw py::error_already_set();
    PyTuple_SET_ITEM(tuple, 0, first.release().ptr());
    PyTuple_SET_ITEM(tuple, 1, second.release().ptr());
    return py::reinterpret_steal<py::tuple>(tuple);
}

py::list make_str_list(const std::vector<std::string>& items) {
    return list_of(items, [](const std::string& item) { return make_str(item); });
}

py::list make_int_list(const std::vector<std::uint32_t>& items) {
    return list_of(items, [](std::uint32_t item) { return make_int(item); });
}

py::list make_str_pair_list(const std::vector<std::pair<std::string, std::string>>& items) {
    return list_of(items, [](const auto& item) { return make_pair(make_str(item.first), make_str(item.second)); });
}

py::list make_str_int_list(const std::vector<std::pair<std::string, std::uint32_t>>& items) {
    return list_of(items, [](const auto& item) { return make_pair(make_str(item.first), make_int(item.second)); });
}

}  // namespace vocarix::python
