// Which paths of a document a stream reports on. Paths are matched as the text
// is read, one step at a time: each open level keeps the set of pattern nodes
// its path has reached, and a member's set follows from its container's in
// time proportional to the number of patterns alive there, not to the depth.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "carrack/python/pyref.hpp"

namespace carrack::values {

using python::Ref;

class Selection {
public:
    // What a pattern asks for at the paths it matches.
    enum Action : std::uint8_t {
        events,         // the events of the value at the path
        events_within,  // ... and of every value inside it (a pattern ending in ...)
        items,          // the members of the container at the path, as they close
    };

    // Adds a pattern: a tuple of str keys, int indices, any (which stands for
    // any key or index) and, for events_within, nothing after the last step.
    // Raises TypeError or ValueError for a step of another kind; returns false.
    bool add(PyObject* pattern, PyObject* any, Action action, int target);

    // A set of nodes reached by a path, kept on a stack of sets, one per open
    // level plus the member being read; the root path's set is node 0 alone.
    struct Reached {
        std::uint32_t begin;
        std::uint32_t end;
        bool empty() const { return begin == end; }
    };
    class Stack {
    public:
        Reached root();
        // The set reached by one more step: key (a str) or index.
        Reached step(const Selection& selection, Reached from, PyObject* key, Py_ssize_t index);
        // Drops every set above and including reached.
        void drop(Reached reached) { nodes_.resize(reached.begin); }
        void clear() { nodes_.clear(); }

        bool wants_events(const Selection& selection, Reached reached) const;
        // Calls each(target) for every items pattern matched.
        template <typename Each>
        void for_items(const Selection& selection, Reached reached, Each each) const {
            for (std::uint32_t i = reached.begin; i < reached.end; ++i) {
                for (int target : selection.nodes_[static_cast<size_t>(nodes_[i])].items_here) each(target);
            }
        }

    private:
        void push(const Selection& selection, std::uint32_t begin, int node);
        std::vector<int> nodes_;
    };

private:
    // A key step: an exact str, found by its hash and compared by its
    // characters, so that matching runs no Python code and nothing of the
    // table can be reached from Python.
    struct KeyStep {
        Ref key;
        int node;
    };
    static int find_key(const std::unordered_multimap<Py_hash_t, KeyStep>& keys, PyObject* key);

    struct Node {
        std::unordered_multimap<Py_hash_t, KeyStep> keys;
        std::unordered_map<Py_ssize_t, int> indices;
        int any = -1;
        // A pattern ending in ... reaches a node of its own, which every path
        // below keeps reaching: it asks for events and nothing else.
        int within = -1;
        bool events_here = false;
        bool events_within = false;  // only such a node
        std::vector<int> items_here;
    };
    bool add_pattern(PyObject* pattern, PyObject* any, Action action, int target);
    int new_node();
    // The node one step below node, made if missing; -1 with an exception set
    // for a step that is not a key, an index or any.
    int make_child(int node, PyObject* step, PyObject* any);

    std::vector<Node> nodes_ = std::vector<Node>(1);
};

}  // namespace carrack::values
