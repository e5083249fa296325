#include "carrack/values/selection.hpp"

#include <algorithm>
#include <cstring>
#include <new>

namespace carrack::values {

// A node is made before anything links to it, so that a failure part way
// leaves at most a node nothing reaches, never a link to a missing node.
int Selection::new_node() {
    nodes_.emplace_back();
    return static_cast<int>(nodes_.size() - 1);
}

int Selection::make_child(int node, PyObject* step, PyObject* any) {
    if (step == any) {
        if (nodes_[static_cast<size_t>(node)].any < 0) {
            const int made = new_node();
            nodes_[static_cast<size_t>(node)].any = made;
        }
        return nodes_[static_cast<size_t>(node)].any;
    }
    if (PyLong_CheckExact(step)) {
        const Py_ssize_t index = PyLong_AsSsize_t(step);
        if (index == -1 && PyErr_Occurred()) return -1;
        if (index < 0) {
            PyErr_Format(PyExc_ValueError, "a path's index must not be negative, not %zd", index);
            return -1;
        }
        const auto found = nodes_[static_cast<size_t>(node)].indices.find(index);
        if (found != nodes_[static_cast<size_t>(node)].indices.end()) return found->second;
        const int made = new_node();
        nodes_[static_cast<size_t>(node)].indices.emplace(index, made);
        return made;
    }
    if (PyUnicode_Check(step)) {
        // An exact str of the key, so that a subclass's __eq__ or __hash__ never runs.
        Ref key(PyUnicode_FromObject(step));
        if (!key) return -1;
        const int found = find_key(nodes_[static_cast<size_t>(node)].keys, key.get());
        if (found >= 0) return found;
        const Py_hash_t hash = PyObject_Hash(key.get());
        if (hash == -1) return -1;
        const int made = new_node();
        nodes_[static_cast<size_t>(node)].keys.emplace(hash, KeyStep{std::move(key), made});
        return made;
    }
    PyErr_Format(PyExc_TypeError, "a path's steps are str keys, int indices or carrack.ANY, not %.200s",
                 Py_TYPE(step)->tp_name);
    return -1;
}

bool Selection::add(PyObject* pattern, PyObject* any, Action action, int target) {
    // Nodes made before a failure match nothing on their own: they ask for nothing.
    try {
        return add_pattern(pattern, any, action, target);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
}

bool Selection::add_pattern(PyObject* pattern, PyObject* any, Action action, int target) {
    if (!PyTuple_Check(pattern)) {
        PyErr_Format(PyExc_TypeError, "a path is a tuple, not %.200s", Py_TYPE(pattern)->tp_name);
        return false;
    }
    Py_ssize_t length = PyTuple_GET_SIZE(pattern);
    bool within = false;
    if (length > 0 && PyTuple_GET_ITEM(pattern, length - 1) == Py_Ellipsis) {
        if (action != events) {
            PyErr_SetString(PyExc_ValueError, "only a selection of events may end in ...");
            return false;
        }
        within = true;
        --length;
    }
    int node = 0;
    for (Py_ssize_t i = 0; i < length; ++i) {
        node = make_child(node, PyTuple_GET_ITEM(pattern, i), any);
        if (node < 0) return false;
    }
    if (action == items) {
        nodes_[static_cast<size_t>(node)].items_here.push_back(target);
    } else if (within) {
        if (nodes_[static_cast<size_t>(node)].within < 0) {
            const int made = new_node();
            nodes_[static_cast<size_t>(made)].events_within = true;
            nodes_[static_cast<size_t>(node)].within = made;
        }
    } else {
        nodes_[static_cast<size_t>(node)].events_here = true;
    }
    return true;
}

Selection::Reached Selection::Stack::root() {
    const auto begin = static_cast<std::uint32_t>(nodes_.size());
    nodes_.push_back(0);
    return Reached{begin, begin + 1};
}

void Selection::Stack::push(const Selection&, std::uint32_t begin, int node) {
    if (node < 0) return;
    if (std::find(nodes_.begin() + begin, nodes_.end(), node) != nodes_.end()) return;
    nodes_.push_back(node);
}

// No Python code runs here: the key is an exact str the reader made, and the
// tables hold exact strs only.
Selection::Reached Selection::Stack::step(const Selection& selection, Reached from, PyObject* key,
                                          Py_ssize_t index) {
    const auto begin = static_cast<std::uint32_t>(nodes_.size());
    for (std::uint32_t i = from.begin; i < from.end; ++i) {
        const int at = nodes_[i];
        const Node& node = selection.nodes_[static_cast<size_t>(at)];
        if (key != nullptr) {
            if (!node.keys.empty()) push(selection, begin, find_key(node.keys, key));
        } else if (!node.indices.empty()) {
            const auto found = node.indices.find(index);
            if (found != node.indices.end()) push(selection, begin, found->second);
        }
        push(selection, begin, node.any);
        push(selection, begin, node.within);
        if (node.events_within) push(selection, begin, at);
    }
    return Reached{begin, static_cast<std::uint32_t>(nodes_.size())};
}

bool Selection::Stack::wants_events(const Selection& selection, Reached reached) const {
    for (std::uint32_t i = reached.begin; i < reached.end; ++i) {
        const Node& node = selection.nodes_[static_cast<size_t>(nodes_[i])];
        if (node.events_here || node.events_within || node.within >= 0) return true;
    }
    return false;
}

int Selection::find_key(const std::unordered_multimap<Py_hash_t, KeyStep>& keys, PyObject* key) {
    // An exact str caches its hash, and hashing one runs no Python code.
    const Py_hash_t hash = PyObject_Hash(key);
    const auto [first, last] = keys.equal_range(hash);
    for (auto it = first; it != last; ++it) {
        PyObject* candidate = it->second.key.get();
        if (candidate == key) return it->second.node;
        const Py_ssize_t length = PyUnicode_GET_LENGTH(key);
        const int kind = PyUnicode_KIND(key);
        if (PyUnicode_GET_LENGTH(candidate) == length && PyUnicode_KIND(candidate) == kind &&
            std::memcmp(PyUnicode_DATA(candidate), PyUnicode_DATA(key), static_cast<size_t>(length) * kind) == 0) {
            return it->second.node;
        }
    }
    return -1;
}

}  // namespace carrack::values
