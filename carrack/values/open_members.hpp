// The closed members of every open array and object of a stream, kept where no
// Python code can reach them: an array's elements in a vector, an object's
// members in a dict that is never handed out and that the garbage collector
// does not track (so gc.get_objects() cannot find it). Results are built from
// these; what a caller does to a result never comes back here.
#pragma once

#include <cstdint>
#include <vector>

#include "carrack/values/reader.hpp"

namespace carrack::values {

class OpenMembers final : public Sink {
public:
    struct Level {
        bool object;
        std::uint64_t serial;       // tells this level from an earlier one at the same depth
        std::vector<Ref> elements;  // an array's
        Ref members;                // an object's: a dict of our own
        std::uint64_t changes = 0;  // an object's members set so far
    };

    void open(bool object) override;
    void add(PyObject* key, Ref value) override;
    Ref close() override;

    const std::vector<Level>& levels() const { return levels_; }
    // Calls visit on every object held, for the garbage collector.
    int traverse(visitproc visit, void* arg) const;

private:
    std::vector<Level> levels_;
    // The element vectors of arrays closed, emptied, kept for the next ones
    // to open: small arrays by the thousand then cost no allocation each.
    std::vector<std::vector<Ref>> spare_;
    std::uint64_t next_serial_ = 0;
};

// Stops the garbage collector from tracking a container of our own, so that
// gc.get_objects() and gc.get_referrers() cannot reach it; and makes one
// handed out trackable again, since callers may build cycles through it.
void hide(PyObject* container);
void expose(PyObject* container);

}  // namespace carrack::values
