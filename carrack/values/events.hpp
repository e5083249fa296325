// Events of a stream: a value starting, a string growing, a value ending, and
// the members of chosen containers as they close. They come from the reader as
// it reads each piece of text once, and cost Python objects only where the
// caller's selection asks for them.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <vector>

#include "carrack/values/reader.hpp"
#include "carrack/values/selection.hpp"

namespace carrack::values {

// The Python objects events are made of: the event type and the interned words
// naming kinds; and the exception for events nested too deep.
struct EventNames {
    PyTypeObject* type;  // a tuple subtype: (kind, path, value)
    PyObject* too_deep;  // a subclass of RecursionError
    PyObject* start;
    PyObject* append;
    PyObject* end;
    PyObject* raw;
    PyObject* object;
    PyObject* array;
    PyObject* string;
};

// What the caller asked to be told, what waits for it, and what the stream has
// already told or decided. It outlives any one reading of the text: when the
// values are read again from the start, a subscription that has already been
// told about that text is not told again, and a decision stands.
class Subscriptions {
public:
    struct Queue {
        Ref path;                  // the items' container path; none for events
        std::vector<Ref> waiting;  // events or items not yet taken
        bool fresh = true;         // not yet told about any text
    };

    Selection selection;
    // Where events() also hands out values' source text as it is read.
    Selection raw;
    bool raw_on = false;
    Queue events;
    bool events_on = false;
    bool selected = false;  // the stream was made with a selection of events
    std::vector<Queue> items;
    // A selected value lay deeper than max_event_depth: no event is made again.
    bool too_deep = false;
    // The end of a number at the root, which only close() can tell, was told.
    bool root_end_told = false;
    // How much of the text, in characters, the queues that are not fresh have
    // been told of: a reading again tells them only what comes after (the
    // text may have grown while values were dropped after a failure).
    size_t told = 0;

    // The index of the items queue for path (canonical), or -1.
    int items_index(PyObject* path) const;
    // A queue is told what a reading finds unless it is a reading again of
    // text the queue was already told about.
    static bool live(const Queue& queue, bool replay) { return !replay || queue.fresh; }
    int traverse(visitproc visit, void* arg) const;
};

// Each event carries its path, so events of values nested deeper than this
// would cost memory growing with the square of the depth: they are refused.
constexpr size_t max_event_depth = 1000;

class Events final : public ReaderHooks {
public:
    Events(Subscriptions& subscriptions, const EventNames& names)
        : subs_(subscriptions),
          names_(names),
          all_events_(subscriptions.events_on && !subscriptions.selected),
          everything_(all_events_ && subscriptions.items.empty()),
          raw_on_(subscriptions.events_on && subscriptions.raw_on),
          too_deep_(subscriptions.too_deep) {}

    // Readings from the start of the text tell only fresh subscriptions.
    void set_replay(bool replay) { replay_ = replay; }
    // What the last pieces found is held back until committed, so that a
    // piece that fails tells nobody anything. Committing is in two steps:
    // reserve() makes room and may fail, leaving everything held back as it
    // was; commit() then hands it to the subscriptions and cannot fail.
    void reserve() {
        const auto& waiting = subs_.events.waiting;
        if (!staged_items_.empty() || waiting.capacity() - waiting.size() < staged_events_.size()) make_room();
    }
    // through: the length of the text read, which every queue now knows.
    void commit(size_t through) noexcept;
    void discard() noexcept;
    // Throws RecursionError once a selected value lay deeper than max_event_depth.
    void ensure_shallow() const;
    // A number at the root ends at the end of the text (close()); told once.
    void end_root_number(const Reader& reader, PyObject* value);

    // The list a sequence of values is read as, open from the start: its path
    // is the root's, and it gives no events of its own.
    void open_sequence();
    // close() ended a number at the end of a sequence: told once.
    void ended_sequence() { root_end_staged_ = true; }
    bool sequence_end_told() const { return subs_.root_end_told; }

    // Whether the reader must tell of numbers and words beginning: raw text is wanted.
    bool wants_scalars() const { return raw_on_; }

    void begin(const Reader& reader, Kind kind) override;
    void end(const Reader& reader, PyObject* value, bool container) override;
    void flush(const Reader& reader) override;

    int traverse(visitproc visit, void* arg) const;

private:
    // An open array or object.
    struct Frame {
        Selection::Reached reached;
        bool selected;    // its own start and end are wanted
        bool object;
        bool raw = false;             // its source text is wanted
        Selection::Reached raw_reached{0, 0};
        Ref step;         // its key, or its index as an int; none for the root
        Ref path;         // made when first needed
    };
    // The string or scalar being read.
    struct Member {
        Selection::Reached reached;
        bool selected = false;
        Ref path;         // made when first needed
        size_t told = 0;  // characters of the string told so far, or passed over in a replay
        bool raw = false;
    };
    // A value whose source text is wanted, open: the text from told on is not yet told.
    struct Raw {
        Ref path;
        size_t told;
    };

    // The selection reached by the member the reader is at, pushed on the stack.
    Selection::Reached reach(const Reader& reader);
    // The step of the member the reader is at in its container.
    Ref step(const Reader& reader) const;
    Ref frame_path(size_t frame);
    Ref member_path(const Reader& reader);
    const Ref& string_path(const Reader& reader);
    bool events_live() const {
        return subs_.events_on && !too_deep_ && Subscriptions::live(subs_.events, replay_);
    }
    // Whether an event of a selected value at this depth may be made; past the
    // limit, none is made again.
    bool shallow(size_t depth) {
        if (depth > max_event_depth) too_deep_ = true;
        return !too_deep_;
    }
    bool wanted(Selection::Reached reached) const {
        return all_events_ || stack_.wants_events(subs_.selection, reached);
    }
    void emit(PyObject* kind, PyObject* path, PyObject* value);
    void make_room();
    static void untrack(PyObject* object);
    void tell_items(const Reader& reader, PyObject* value);
    // Whether the value beginning where the reader is wants its source text;
    // reached is the raw selection's set for it, kept on raw_stack_.
    bool raw_wanted(const Reader& reader, Selection::Reached& reached);
    // Tells every open raw value its text up to to (a position in the text).
    void raw_upto(const Reader& reader, size_t to);
    // A raw value begins at the reader's position, or ends at to.
    void open_raw(const Reader& reader, Ref path);
    void close_raw(const Reader& reader, size_t to);
    void flush_string(const Reader& reader);

    Subscriptions& subs_;
    const EventNames& names_;
    Selection::Stack stack_;
    std::vector<Frame> frames_;
    Member member_;
    const bool all_events_;  // events everywhere: the stream was made without a selection
    const bool everything_;  // ... and no items: no selection to follow
    const bool raw_on_;      // events carry source text where subs_.raw says
    Selection::Stack raw_stack_;
    std::vector<Raw> raws_;  // open raw values, outermost first
    bool scalar_raw_ = false;     // the number or word being read is raw
    bool scalar_number_ = false;  // ... and is a number, which ends where the reader is
    bool member_open_ = false;
    bool replay_ = false;
    bool too_deep_;
    bool root_end_staged_ = false;
    std::vector<Ref> staged_events_;
    std::vector<std::pair<int, Ref>> staged_items_;
    std::vector<int> targets_;
    std::vector<size_t> counts_;  // items staged per queue, counted by reserve()
};

}  // namespace carrack::values
