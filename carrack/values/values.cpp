#include "carrack/values/values.hpp"

#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>

#include "carrack/engine/walker.hpp"

namespace carrack::values {

using python::check;
using python::python_error;

namespace {

// What a completion adds to the open containers, read by a fork of the reader:
// at most one member in the innermost, and in each other the container below.
class Capture final : public Sink {
public:
    explicit Capture(size_t depth) : open_(depth), innermost_(depth) {}

    void open(bool) override { throw std::logic_error("a completion opened a container"); }
    void add(PyObject* key, Ref value) override {
        if (open_ != innermost_) return;  // the container closed below
        if (added_) throw std::logic_error("a completion added twice to one container");
        added_ = true;
        key_ = Ref::borrow(key);
        value_ = std::move(value);
    }
    Ref close() override {
        --open_;
        return Ref();  // stands for the container as the hand-out builds it
    }

    Ref key_;
    Ref value_;

private:
    size_t open_;
    size_t innermost_;
    bool added_ = false;
};

// Both are str objects the reader made, so comparing them runs no Python code.
bool same_key(PyObject* a, PyObject* b) { return a == b || PyUnicode_Compare(a, b) == 0; }

}  // namespace

// What the last result held at one open level.
struct Values::Handed {
    Ref container;              // the list or dict handed out
    std::uint64_t serial = 0;   // of the level it was made for
    size_t closed = 0;          // an array's elements it holds before the child
    std::uint64_t changes = 0;  // an object's members as they were when it was made
    Ref key;                    // an object's key the child is set under
    Ref child;                  // the value of what was open below, if anything
    Ref replaced;               // an object's closed member the child stands in place of
    bool taken_back = false;
};

// The value added to a container for what is open inside it.
struct Values::Child {
    Ref key;    // an object's key for it
    Ref value;  // none when nothing is added
};

// The object an earlier reading made for the value just closed: the member at
// the same place of the same open container (one opened at the same place in
// the text), or the same root; only for a value that closed within the text
// the earlier reading read. Inside a container the earlier reading had closed
// nothing is reused: its members are the caller's to reach, never the
// stream's to read back, so a reading that tells them makes equal new ones.
class Values::Reuse final : public Recycler {
public:
    explicit Reuse(const Values& earlier) : earlier_(earlier) {}

    Ref reuse(const Reader& reader, Ref value) override {
        const Reader& old = earlier_.reader_;
        if (reader.pos() >= old.pos()) return value;  // closed past what the earlier reading read
        const auto& levels = reader.levels();
        if (levels.empty()) return old.ended() && old.root() ? old.root() : value;
        const size_t at = levels.size() - 1;
        if (at >= old.levels().size() || old.levels()[at].opened_at != levels[at].opened_at) return value;
        const OpenMembers::Level& members = earlier_.members_.levels()[at];
        if (!members.object) {
            const auto index = static_cast<size_t>(levels[at].count);
            return index < members.elements.size() ? members.elements[index] : value;
        }
        // With a key written twice, members by key are not members in the order read.
        if (members.changes != static_cast<std::uint64_t>(PyDict_GET_SIZE(members.members.get()))) return value;
        // Exact str keys only: no Python code runs.
        PyObject* found = PyDict_GetItemWithError(members.members.get(), levels[at].key.get());
        if (found != nullptr) return Ref::borrow(found);
        if (PyErr_Occurred()) throw python_error{};
        return value;
    }

private:
    const Values& earlier_;
};

Values::Values(Subscriptions* subscriptions, const EventNames* names, bool multiple) : reader_(&members_) {
    if (multiple) reader_.set_multiple();
    if (subscriptions != nullptr) {
        events_ = std::make_unique<Events>(*subscriptions, *names);
        if (multiple) events_->open_sequence();
        reader_.set_hooks(events_.get(), events_->wants_scalars());
    }
}
Values::~Values() = default;

void Values::reuse(const Values* earlier) {
    reader_.set_recycler(nullptr);
    reuse_.reset();
    if (earlier == nullptr) return;
    reuse_ = std::make_unique<Reuse>(*earlier);
    reader_.set_recycler(reuse_.get());
}

void Values::feed(const Py_UCS1* units, size_t count) { reader_.feed(units, count); }
void Values::feed(const Py_UCS2* units, size_t count) { reader_.feed(units, count); }
void Values::feed(const Py_UCS4* units, size_t count) { reader_.feed(units, count); }

void Values::check_text(bool standard) const {
    const Reader& r = reader_;
    if (r.at() == Reader::At::failed) {
        if (standard && r.nonstandard() < r.error_pos()) throw decode_error{"Expecting value", r.nonstandard()};
        if (r.value_error()) {
            PyErr_SetObject(PyExc_ValueError, r.value_error().get());
            throw python_error{};
        }
        throw decode_error{r.error(), std::min(r.error_pos(), r.nonstandard())};
    }
    if (standard && r.nonstandard() != nowhere) throw decode_error{"Expecting value", r.nonstandard()};
}

void Values::ensure_readable(bool standard, const Walker& walker) const {
    check_text(standard);
    if (walker.failure() != Walker::Failure::none) {
        // The walker refuses NaN and Infinity, which json.loads reads.
        if (reader_.nonstandard() != nowhere) throw decode_error{"Expecting value", reader_.nonstandard()};
        walker.check();
    }
}

PyObject* Values::value(Policy policy, const Walker& walker) {
    ensure_readable(policy != Policy::all, walker);
    const auto& levels = reader_.levels();

    if (policy != Policy::all || reader_.between_values()) {
        // A policy closes what is open from the inside out, leaving out what it withholds.
        Ref scalar;
        if (policy == Policy::strings && reader_.in_string() && !reader_.in_key()) scalar = Ref(reader_.chars().str());
        if (levels.empty()) {
            if (reader_.ended()) return Py_NewRef(reader_.root().get());
            return scalar ? scalar.release() : Py_NewRef(Py_None);
        }
        return hand_out(Child{levels.back().object ? levels.back().key : Ref(), std::move(scalar)});
    }

    // The completion is read by a fork of the reader that captures what it
    // would add, so that json.loads(completion) holds by construction. An open
    // string with nothing pending is closed by the suffix's quote as it stands:
    // its str is made here once, and its characters are not copied.
    const std::string suffix = walker.suffix();
    Capture capture(levels.size());
    Reader completion = reader_.fork(&capture, reader_.in_plain_string() ? Ref(reader_.chars().str()) : Ref());
    completion.feed(reinterpret_cast<const Py_UCS1*>(suffix.data()), suffix.size());
    completion.finish();
    if (completion.at() == Reader::At::failed && completion.value_error()) {
        PyErr_SetObject(PyExc_ValueError, completion.value_error().get());
        throw python_error{};
    }
    const bool completed = reader_.multiple() ? completion.between_values() : completion.ended() && completion.depth() == 0;
    if (completion.at() == Reader::At::failed || !completed) {
        // Only text that is not JSON completes to what json.loads refuses.
        if (reader_.nonstandard() != nowhere) throw decode_error{"Expecting value", reader_.nonstandard()};
        throw decode_error{completion.error().empty() ? "Expecting value" : completion.error(),
                           std::min(completion.error_pos(), completion.pos())};
    }
    if (levels.empty()) return Ref(completion.root()).release();
    return hand_out(Child{std::move(capture.key_), std::move(capture.value_)});
}

// Builds the containers of a result from the innermost open level outward. It
// first decides, running no Python code, which containers of the last result
// can be taken back; then each level gets one of those, updated, or a new one.
PyObject* Values::hand_out(Child innermost) {
    const size_t depth = members_.levels().size();
    while (handed_.size() > depth) {
        Handed& record = handed_.back();
        garbage_.push_back(std::move(record.container));
        garbage_.push_back(std::move(record.child));
        garbage_.push_back(std::move(record.replaced));
        handed_.pop_back();
    }
    handed_.resize(depth);
    for (size_t level = 0; level < depth; ++level) handed_[level].taken_back = take_back(level);

    Child child = std::move(innermost);
    try {
        for (size_t level = depth; level-- > 0;) {
            Ref container = handed_[level].taken_back ? refill(level, child) : build(level, child);
            Ref key = level > 0 ? reader_.levels()[level - 1].key : Ref();
            child = Child{std::move(key), std::move(container)};
        }
    } catch (...) {
        forget_results(garbage_);
        throw;
    }
    return child.value.release();
}

// Whether the container handed out at level last time can be updated for this
// result: only the stream can reach it, and its items are what it put there,
// compared by identity only. Levels are decided outermost first. A container
// taken back is hidden from the collector until it is handed out again.
bool Values::take_back(size_t level_index) {
    Handed& record = handed_[level_index];
    if (!record.container) return false;
    const OpenMembers::Level& level = members_.levels()[level_index];
    PyObject* container = record.container.get();
    // Below the root, the container is only the stream's when its parent is
    // taken back too: the parent's record and the parent itself then hold it
    // besides this record.
    Py_ssize_t ours = 1;
    if (level_index > 0) {
        const Handed& parent = handed_[level_index - 1];
        ours = parent.taken_back && parent.child.get() == container ? 3 : 0;
    }
    bool same = record.serial == level.serial && Py_REFCNT(container) == ours;
    if (same && !level.object) {
        const size_t held = record.closed + (record.child ? 1 : 0);
        PyObject** items = reinterpret_cast<PyListObject*>(container)->ob_item;
        same = static_cast<size_t>(PyList_GET_SIZE(container)) == held && record.closed <= level.elements.size() &&
               (record.closed == 0 ||
                std::memcmp(items, level.elements.data(), record.closed * sizeof(PyObject*)) == 0) &&
               (!record.child || items[record.closed] == record.child.get());
    } else if (same) {
        // The dict was a copy of the members, with the child set under its key.
        PyObject* members = level.members.get();
        const bool added = record.child && !record.replaced;
        same = record.changes == level.changes &&
               PyDict_GET_SIZE(container) == PyDict_GET_SIZE(members) + (added ? 1 : 0);
        Py_ssize_t at_member = 0, at_held = 0;
        PyObject *member_key = nullptr, *member = nullptr, *held_key = nullptr, *held = nullptr;
        bool stood_in = false;
        while (same && PyDict_Next(members, &at_member, &member_key, &member)) {
            same = PyDict_Next(container, &at_held, &held_key, &held) && held_key == member_key;
            if (!same || held == member) continue;
            same = !stood_in && record.replaced && member == record.replaced.get() && held == record.child.get() &&
                   same_key(member_key, record.key.get());
            stood_in = true;
        }
        // The child stands in place of a member, so that member must have been seen changed.
        if (same && record.replaced && record.child.get() != record.replaced.get()) same = stood_in;
        if (same && added) {
            same = PyDict_Next(container, &at_held, &held_key, &held) && held_key == record.key.get() &&
                   held == record.child.get();
        }
    }
    if (!same) {
        garbage_.push_back(std::move(record.container));
        garbage_.push_back(std::move(record.child));
        garbage_.push_back(std::move(record.replaced));
        record = Handed{};
        return false;
    }
    hide(container);
    return true;
}

// Updates a container taken back to hold the level's closed members and child.
// Its items are the stream's own, so no comparison here runs Python code; what
// it lets go of goes to the garbage, so that nothing is freed part way.
Ref Values::refill(size_t level_index, const Child& child) {
    Handed& record = handed_[level_index];
    const OpenMembers::Level& level = members_.levels()[level_index];
    PyObject* container = record.container.get();
    record.taken_back = false;
    if (!level.object) {
        const size_t closed = level.elements.size();
        if (closed != record.closed || child.value.get() != record.child.get()) {
            if (record.child) {
                const auto at = static_cast<Py_ssize_t>(record.closed);
                garbage_.push_back(std::move(record.child));
                check(PyList_SetSlice(container, at, at + 1, nullptr));
            }
            for (size_t i = record.closed; i < closed; ++i) check(PyList_Append(container, level.elements[i].get()));
            if (child.value) check(PyList_Append(container, child.value.get()));
            record.closed = closed;
            record.child = child.value;
        }
    } else if (child.value.get() != record.child.get() ||
               (child.value && !same_key(record.key.get(), child.key.get()))) {
        if (record.child && child.value && same_key(record.key.get(), child.key.get())) {
            garbage_.push_back(std::move(record.child));
            check(PyDict_SetItem(container, record.key.get(), child.value.get()));
        } else {
            if (record.child) {
                garbage_.push_back(std::move(record.child));
                if (record.replaced) {
                    check(PyDict_SetItem(container, record.key.get(), record.replaced.get()));
                } else {
                    check(PyDict_DelItem(container, record.key.get()));
                }
                garbage_.push_back(std::move(record.replaced));
            }
            if (child.value) {
                PyObject* replaced = PyDict_GetItemWithError(level.members.get(), child.key.get());
                if (replaced == nullptr && PyErr_Occurred()) throw python_error{};
                record.replaced = Ref::borrow(replaced);
                check(PyDict_SetItem(container, child.key.get(), child.value.get()));
            }
            record.key = child.key;
        }
        record.child = child.value;
    }
    expose(container);
    return record.container;
}

// A new container of the level's closed members and child. Making it may run
// the garbage collector and so Python code, so the level is looked up afresh
// after each call that allocates.
Ref Values::build(size_t level_index, const Child& child) {
    const bool object = members_.levels()[level_index].object;
    Handed made;
    made.serial = members_.levels()[level_index].serial;
    if (!object) {
        const size_t closed = members_.levels()[level_index].elements.size();
        made.container = Ref(check(PyList_New(static_cast<Py_ssize_t>(closed + (child.value ? 1 : 0)))));
        const std::vector<Ref>& elements = members_.levels()[level_index].elements;
        for (size_t i = 0; i < closed; ++i) {
            PyList_SET_ITEM(made.container.get(), static_cast<Py_ssize_t>(i), Py_NewRef(elements[i].get()));
        }
        if (child.value) {
            PyList_SET_ITEM(made.container.get(), static_cast<Py_ssize_t>(closed), Py_NewRef(child.value.get()));
        }
        made.closed = closed;
    } else {
        made.container = Ref(check(PyDict_Copy(members_.levels()[level_index].members.get())));
        made.changes = members_.levels()[level_index].changes;
        if (child.value) {
            PyObject* replaced = PyDict_GetItemWithError(members_.levels()[level_index].members.get(), child.key.get());
            if (replaced == nullptr && PyErr_Occurred()) throw python_error{};
            made.replaced = Ref::borrow(replaced);
            check(PyDict_SetItem(made.container.get(), child.key.get(), child.value.get()));
        }
        made.key = child.key;
        expose(made.container.get());
    }
    made.child = child.value;
    handed_[level_index] = std::move(made);
    return handed_[level_index].container;
}

void Values::forget_results(std::vector<Ref>& garbage) {
    for (Handed& record : handed_) {
        garbage.push_back(std::move(record.container));
        garbage.push_back(std::move(record.child));
        garbage.push_back(std::move(record.replaced));
    }
    handed_.clear();
}

std::vector<Ref> Values::take_garbage() { return std::exchange(garbage_, {}); }

PyObject* Values::path() const {
    const Reader& r = reader_;
    using At = Reader::At;
    const auto& levels = r.levels();
    const size_t depth = levels.size();
    // The innermost container's member is on the path once it is being written.
    bool innermost = false;
    if (depth > 0) {
        switch (r.at()) {
            case At::string: case At::escape: case At::unicode:
                innermost = !r.in_key();
                break;
            case At::value:
                innermost = !r.between_values();
                break;
            case At::word: case At::number:
                innermost = true;
                break;
            case At::after_key:
                innermost = levels.back().object;
                break;
            default:
                break;
        }
    }
    const size_t length = depth == 0 ? 0 : depth - 1 + (innermost ? 1 : 0);
    Ref path(check(PyTuple_New(static_cast<Py_ssize_t>(length))));
    for (size_t level = 0; level < length; ++level) {
        const Reader::Level& open = levels[level];
        PyObject* step = open.object ? Py_NewRef(open.key.get()) : check(PyLong_FromSsize_t(open.count));
        PyTuple_SET_ITEM(path.get(), static_cast<Py_ssize_t>(level), step);
    }
    return path.release();
}

bool Values::done() const { return reader_.multiple() ? reader_.between_values() : reader_.ended(); }

PyObject* Values::close() {
    const Reader& r = reader_;
    using At = Reader::At;
    if (r.at() == At::failed) {
        if (r.value_error()) {
            PyErr_SetObject(PyExc_ValueError, r.value_error().get());
            throw python_error{};
        }
        throw decode_error{r.error(), r.error_pos(), true};
    }
    if (r.ended() && r.depth() == 0) return Ref(r.root()).release();
    if (r.multiple()) return close_sequence();
    At at = r.at();
    if (r.number_can_end()) {
        // The end of the text ends the number, as json.loads would read it.
        Ref number = r.number_value();
        if (r.depth() == 0) {
            if (events_) events_->end_root_number(r, number.get());
            return number.release();
        }
        at = At::after_value;
    }
    const char* message = "Expecting value";
    switch (at) {
        case At::object_first: case At::key: message = "Expecting property name enclosed in double quotes"; break;
        case At::string: case At::escape: case At::unicode: message = "Unterminated string"; break;
        case At::after_key: message = "Expecting ':' delimiter"; break;
        case At::after_value: message = "Expecting ',' delimiter"; break;
        default: break;
    }
    throw decode_error{message, r.pos(), true};
}

// The list of a sequence's values; a number the end of the text ends is
// read as its last value, and told once.
PyObject* Values::close_sequence() {
    if (reader_.depth() == 1 && reader_.number_can_end()) {
        const bool told = events_ && events_->sequence_end_told();
        if (events_) events_->set_replay(told);
        reader_.finish();
        if (reader_.at() == Reader::At::failed) {
            if (events_) events_->set_replay(false);
            return close();  // beyond the digit limit
        }
        if (events_) {
            events_->set_replay(false);
            events_->ended_sequence();
        }
    }
    if (!reader_.between_values()) {
        const char* message = "Expecting value";
        switch (reader_.at()) {
            case Reader::At::object_first: case Reader::At::key: message = "Expecting property name enclosed in double quotes"; break;
            case Reader::At::string: case Reader::At::escape: case Reader::At::unicode: message = "Unterminated string"; break;
            case Reader::At::after_key: message = "Expecting ':' delimiter"; break;
            case Reader::At::after_value: message = "Expecting ',' delimiter"; break;
            default: break;
        }
        throw decode_error{message, reader_.pos()};
    }
    const std::vector<Ref>& elements = members_.levels().front().elements;
    Ref list(check(PyList_New(static_cast<Py_ssize_t>(elements.size()))));
    for (size_t i = 0; i < elements.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), Py_NewRef(elements[i].get()));
    }
    return list.release();
}

void Values::end_root_number() {
    const Reader& r = reader_;
    if (!events_ || r.depth() != 0 || r.ended() || !r.number_can_end()) return;
    Ref number;
    try {
        number = r.number_value();
    } catch (const python_error&) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw;
        PyErr_Clear();
        return;
    }
    events_->end_root_number(r, number.get());
}

int Values::traverse(visitproc visit, void* arg) const {
    if (int status = members_.traverse(visit, arg)) return status;
    for (const Handed& record : handed_) {
        // A container taken back is the stream's alone until it is handed out
        // again: hidden from the collector, and from its callbacks, which on
        // 3.11 can run while the result is being made.
        // (Leaving an edge out never frees anything early; it only keeps.)
        if (record.taken_back) continue;
        Py_VISIT(record.container.get());
        Py_VISIT(record.child.get());
        Py_VISIT(record.replaced.get());
    }
    for (const Ref& object : garbage_) Py_VISIT(object.get());
    if (events_) {
        if (int status = events_->traverse(visit, arg)) return status;
    }
    Py_VISIT(reader_.root().get());
    return 0;
}

PyObject* raise_decode_error(const decode_error& error, PyObject* doc) {
    PyObject* json = PyImport_ImportModule("json");
    if (json == nullptr) return nullptr;
    PyObject* type = PyObject_GetAttrString(json, "JSONDecodeError");
    if (type != nullptr && error.of_whole_text) {
        // json.loads' own error for the text, in its words and at its place;
        // the one made here where json cannot say (a text nested too deep).
        PyObject* loaded = nullptr;
        PyObject* loads = PyObject_GetAttrString(json, "loads");
        PyObject* args = loads != nullptr ? PyTuple_Pack(1, doc) : nullptr;
        PyObject* kwargs = args != nullptr ? Py_BuildValue("{s:O}", "strict", Py_False) : nullptr;
        if (kwargs != nullptr) loaded = PyObject_Call(loads, args, kwargs);
        Py_XDECREF(kwargs);
        Py_XDECREF(args);
        Py_XDECREF(loads);
        if (loaded == nullptr && PyErr_ExceptionMatches(type)) {
            Py_DECREF(json);
            Py_DECREF(type);
            return nullptr;
        }
        Py_XDECREF(loaded);
        PyErr_Clear();
    }
    Py_DECREF(json);
    if (type == nullptr) return nullptr;
    PyObject* exception = PyObject_CallFunction(type, "s#On", error.message.data(),
                                                static_cast<Py_ssize_t>(error.message.size()), doc,
                                                static_cast<Py_ssize_t>(error.pos));
    if (exception != nullptr) {
        PyErr_SetObject(type, exception);
        Py_DECREF(exception);
    }
    Py_DECREF(type);
    return nullptr;
}

}  // namespace carrack::values
