#include "carrack/values/chars.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "carrack/python/pyref.hpp"

namespace carrack::values {

template <typename Unit>
void Chars::append(const Unit* units, size_t count) {
    Py_UCS4 max = 0;
    for (size_t i = 0; i < count; ++i) max = std::max<Py_UCS4>(max, units[i]);
    if (max > max_) {
        max_ = max;
        const unsigned width = max < 0x100 ? 1 : max < 0x10000 ? 2 : 4;
        if (width > width_) widen(width);
    }
    const size_t at = bytes_.size();
    bytes_.resize(at + count * width_);
    char* out = bytes_.data() + at;
    if (width_ == sizeof(Unit)) {
        std::memcpy(out, units, count * sizeof(Unit));
    } else if (width_ == 1) {
        for (size_t i = 0; i < count; ++i) out[i] = static_cast<char>(static_cast<Py_UCS1>(units[i]));
    } else if (width_ == 2) {
        for (size_t i = 0; i < count; ++i) {
            const auto unit = static_cast<Py_UCS2>(units[i]);
            std::memcpy(out + 2 * i, &unit, 2);
        }
    } else {
        for (size_t i = 0; i < count; ++i) {
            const auto unit = static_cast<Py_UCS4>(units[i]);
            std::memcpy(out + 4 * i, &unit, 4);
        }
    }
    size_ += count;
}

void Chars::widen(unsigned width) {
    std::string wider(size_ * width, '\0');
    for (size_t i = 0; i < size_; ++i) {
        Py_UCS4 c = 0;
        if (width_ == 1) {
            c = static_cast<Py_UCS1>(bytes_[i]);
        } else {
            Py_UCS2 unit = 0;
            std::memcpy(&unit, bytes_.data() + 2 * i, 2);
            c = unit;
        }
        if (width == 2) {
            const auto unit = static_cast<Py_UCS2>(c);
            std::memcpy(wider.data() + 2 * i, &unit, 2);
        } else {
            std::memcpy(wider.data() + 4 * i, &c, 4);
        }
    }
    bytes_.swap(wider);
    width_ = width;
}

PyObject* Chars::str() const {
    // The storage width follows the largest character as PyUnicode_New's does.
    PyObject* result = python::check(PyUnicode_New(static_cast<Py_ssize_t>(size_), max_));
    if (!bytes_.empty()) std::memcpy(PyUnicode_DATA(result), bytes_.data(), bytes_.size());
    return result;
}

namespace {

template <typename Unit>
Py_UCS4 largest(const char* data, size_t count) {
    Unit max = 0;
    for (size_t i = 0; i < count; ++i) {
        Unit unit;
        std::memcpy(&unit, data + i * sizeof(Unit), sizeof(Unit));
        max = std::max(max, unit);
    }
    return max;
}

template <typename From, typename To>
void narrow_into(const char* data, size_t count, void* out) {
    auto* to = static_cast<To*>(out);
    for (size_t i = 0; i < count; ++i) {
        From unit;
        std::memcpy(&unit, data + i * sizeof(From), sizeof(From));
        to[i] = static_cast<To>(unit);
    }
}

}  // namespace

// A str must be stored in the narrowest kind its characters allow, so the
// largest character of the slice is found first, unless all are ASCII.
// Plain loops per width, which the compiler vectorises.
PyObject* Chars::str(size_t from, size_t to) const {
    const size_t count = to - from;
    const char* data = bytes_.data() + from * width_;
    Py_UCS4 max = max_;
    if (max >= 0x80) {
        max = width_ == 1 ? largest<Py_UCS1>(data, count)
              : width_ == 2 ? largest<Py_UCS2>(data, count)
                            : largest<Py_UCS4>(data, count);
    }
    PyObject* result = python::check(PyUnicode_New(static_cast<Py_ssize_t>(count), max));
    const auto kind = static_cast<unsigned>(PyUnicode_KIND(result));
    void* out = PyUnicode_DATA(result);
    if (kind == width_) {
        std::memcpy(out, data, count * width_);
    } else if (width_ == 2) {
        narrow_into<Py_UCS2, Py_UCS1>(data, count, out);
    } else if (kind == 1) {
        narrow_into<Py_UCS4, Py_UCS1>(data, count, out);
    } else {
        narrow_into<Py_UCS4, Py_UCS2>(data, count, out);
    }
    return result;
}

PyObject* KeyMemo::str(const Chars& chars) {
    const std::string_view units = chars.units();
    if (chars.size() > longest) return chars.str();
    std::uint64_t hash = 1469598103934665603u ^ chars.width();
    for (char c : units) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211u;
    if (entries_.empty()) entries_.resize(slots);
    Entry& entry = entries_[hash % slots];
    if (entry.str != nullptr && entry.width == chars.width() && entry.units == units) return Py_NewRef(entry.str);
    PyObject* made = chars.str();
    // The entry matches nothing while it changes, so that a failure part way
    // never pairs a str with other characters (forks share this memo).
    entry.width = 0;
    try {
        entry.units.assign(units);
    } catch (...) {
        Py_DECREF(made);
        throw;
    }
    Py_XSETREF(entry.str, Py_NewRef(made));
    entry.width = chars.width();
    return made;
}

KeyMemo::~KeyMemo() {
    for (Entry& entry : entries_) Py_XDECREF(entry.str);
}

template void Chars::append(const Py_UCS1*, size_t);
template void Chars::append(const Py_UCS2*, size_t);
template void Chars::append(const Py_UCS4*, size_t);

}  // namespace carrack::values
