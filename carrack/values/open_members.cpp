#include "carrack/values/open_members.hpp"

#include <new>

namespace carrack::values {

using python::check;

void hide(PyObject* container) {
    if (PyObject_GC_IsTracked(container)) PyObject_GC_UnTrack(container);
}

void expose(PyObject* container) {
    if (!PyObject_GC_IsTracked(container)) PyObject_GC_Track(container);
}

void OpenMembers::open(bool object) {
    Ref members;
    if (object) {
        members = Ref(check(PyDict_New()));
        hide(members.get());
    }
    std::vector<Ref> elements;
    if (!object && !spare_.empty()) {
        elements = std::move(spare_.back());
        spare_.pop_back();
    }
    levels_.push_back(Level{object, next_serial_++, std::move(elements), std::move(members), 0});
}

void OpenMembers::add(PyObject* key, Ref value) {
    Level& level = levels_.back();
    if (!level.object) {
        level.elements.push_back(std::move(value));
        return;
    }
    // Our own dict holds only our str keys, so setting runs no Python code of
    // its own; but a value it replaces (a key written twice) could run a
    // finalizer when freed, and setting a container value tracks the dict
    // again. So a value is set only where its key is new (one lookup, as
    // setting takes), and a value replaced is kept until the dict is hidden.
    PyObject* members = level.members.get();
    PyObject* held = PyDict_SetDefault(members, key, value.get());
    int status = held == nullptr ? -1 : 0;
    Ref replaced;
    if (held != nullptr && held != value.get()) {
        replaced = Ref::borrow(held);
        status = PyDict_SetItem(members, key, value.get());
    }
    hide(members);
    check(status);
    ++level.changes;
}

Ref OpenMembers::close() {
    Level& level = levels_.back();
    Ref value;
    if (level.object) {
        value = std::move(level.members);
        expose(value.get());
    } else {
        const auto size = static_cast<Py_ssize_t>(level.elements.size());
        value = Ref(check(PyList_New(size)));
        for (Py_ssize_t i = 0; i < size; ++i) {
            PyList_SET_ITEM(value.get(), i, level.elements[static_cast<size_t>(i)].release());
        }
        level.elements.clear();
        // Kept only while small, and only as many as could be open at once.
        if (level.elements.capacity() <= 64 && spare_.size() < 64) {
            try {
                spare_.push_back(std::move(level.elements));
            } catch (const std::bad_alloc&) {
            }
        }
    }
    levels_.pop_back();
    return value;
}

int OpenMembers::traverse(visitproc visit, void* arg) const {
    for (const Level& level : levels_) {
        for (const Ref& element : level.elements) Py_VISIT(element.get());
        if (!level.members) continue;
        // The dict is untracked, so the collector sees its contents only through us.
        Py_ssize_t pos = 0;
        PyObject *key = nullptr, *value = nullptr;
        while (PyDict_Next(level.members.get(), &pos, &key, &value)) Py_VISIT(value);
    }
    return 0;
}

}  // namespace carrack::values
