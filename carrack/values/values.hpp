// Python values of a JSON text that arrives in pieces. The text is read once,
// as json.loads reads it; closed values are converted once and shared by every
// later result, and a result costs only what is still open.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "carrack/values/events.hpp"
#include "carrack/values/open_members.hpp"
#include "carrack/values/reader.hpp"

namespace carrack {

class Walker;

namespace values {

enum class Policy : std::uint8_t { all, strings, closed };

// The values of one stream.
//
// A result holds, for every array or object still open, a list or dict of the
// members closed so far plus the value of what is open below it. Those
// containers belong to the caller. The stream builds them from its own record
// of the closed members (OpenMembers), never from a result: a container handed
// out earlier is taken back and updated only when the stream holds the only
// reference to it and its items are, by identity, exactly what the stream put
// there; anything else is left to the caller and a new container is made.
class Values {
public:
    // Events, when wanted, go to subscriptions, made of names.
    // multiple: the text is a sequence of values, read as one list.
    explicit Values(Subscriptions* subscriptions = nullptr, const EventNames* names = nullptr, bool multiple = false);
    ~Values();
    Values(const Values&) = delete;
    Values& operator=(const Values&) = delete;

    // While the text is read again, closed values are taken from earlier, a
    // reading of the same text or of a beginning of it, so that the objects
    // shared with the caller stay the same; nullptr stops that.
    void reuse(const Values* earlier);

    // The next piece of text, as code points. Throws python_error; the values
    // are then out of step with the text and must not be used again.
    void feed(const Py_UCS1* units, size_t count);
    void feed(const Py_UCS2* units, size_t count);
    void feed(const Py_UCS4* units, size_t count);

    // The value of the text so far. For Policy::all it is json.loads of the
    // walker's completion; the walker must have read the same text. Throws
    // decode_error, python_error, or the walker's failure. Changes nothing but
    // what it hands out.
    PyObject* value(Policy policy, const Walker& walker);
    // Throws what value() would throw before it builds anything: the text is
    // not JSON (standard: NaN and Infinity neither), or the walker failed.
    void ensure_readable(bool standard, const Walker& walker) const;
    Events* events() { return events_.get(); }
    // Keys and indices from the root to the value being written.
    PyObject* path() const;
    // Whether the root value has ended.
    bool done() const;
    // json.loads of the text: the one complete value, or decode_error. A
    // number at the root that the end of the text ends is an event too.
    PyObject* close();
    // A number at the root that the text's end has ended, in a stream that
    // stops there: its end event, told once. A number beyond the digit limit
    // has none; value() raises for it.
    void end_root_number();

    // Drops what the stream keeps of results handed out; the objects that may
    // be freed are moved to garbage, to be released once the stream's state is
    // consistent and its call is over.
    void forget_results(std::vector<Ref>& garbage);
    // What the last calls let go of, for the caller to release once the
    // stream may be used again.
    std::vector<Ref> take_garbage();
    // The garbage collector's view of every object held.
    int traverse(visitproc visit, void* arg) const;

private:
    struct Handed;
    struct Child;
    class Reuse;

    // Throws when the text is not the beginning of one that json.loads
    // reads. A policy also refuses NaN and Infinity, which are not JSON.
    void check_text(bool standard) const;
    PyObject* close_sequence();
    PyObject* hand_out(Child innermost);
    bool take_back(size_t level);
    Ref refill(size_t level, const Child& child);
    Ref build(size_t level, const Child& child);

    OpenMembers members_;
    Reader reader_;
    std::unique_ptr<Events> events_;
    std::unique_ptr<Reuse> reuse_;
    std::vector<Handed> handed_;  // per open level, what the last result held there
    std::vector<Ref> garbage_;    // released after each hand-out
};

// Raises json.JSONDecodeError for error over doc. Returns nullptr.
PyObject* raise_decode_error(const decode_error& error, PyObject* doc);

}  // namespace values
}  // namespace carrack
