#include "carrack/values/events.hpp"

#include <algorithm>

namespace carrack::values {

using python::check;

int Subscriptions::items_index(PyObject* path) const {
    for (size_t i = 0; i < items.size(); ++i) {
        // Both are canonical tuples of exact strs, ints and the ANY marker.
        const int equal = PyObject_RichCompareBool(items[i].path.get(), path, Py_EQ);
        if (equal > 0) return static_cast<int>(i);
    }
    return -1;
}

int Subscriptions::traverse(visitproc visit, void* arg) const {
    for (const Ref& event : events.waiting) Py_VISIT(event.get());
    for (const Queue& queue : items) {
        Py_VISIT(queue.path.get());
        for (const Ref& item : queue.waiting) Py_VISIT(item.get());
    }
    return 0;
}

namespace {

// Room for more items, growing geometrically as push_back would.
void room_for(std::vector<Ref>& queue, size_t more) {
    if (queue.capacity() - queue.size() < more) queue.reserve(std::max(queue.size() + more, 2 * queue.capacity()));
}

}  // namespace

void Events::make_room() {
    room_for(subs_.events.waiting, staged_events_.size());
    if (staged_items_.empty()) return;
    if (subs_.items.size() == 1) {
        room_for(subs_.items[0].waiting, staged_items_.size());
        return;
    }
    counts_.assign(subs_.items.size(), 0);
    for (const auto& staged : staged_items_) ++counts_[static_cast<size_t>(staged.first)];
    for (size_t target = 0; target < counts_.size(); ++target) room_for(subs_.items[target].waiting, counts_[target]);
}

void Events::commit(size_t through) noexcept {
    auto& waiting = subs_.events.waiting;
    for (Ref& event : staged_events_) waiting.push_back(std::move(event));  // within the room reserved
    staged_events_.clear();
    for (auto& [target, item] : staged_items_) subs_.items[static_cast<size_t>(target)].waiting.push_back(std::move(item));
    staged_items_.clear();
    subs_.events.fresh = false;
    for (auto& queue : subs_.items) queue.fresh = false;
    subs_.too_deep = too_deep_;
    subs_.told = through;
    if (root_end_staged_) subs_.root_end_told = true;
    root_end_staged_ = false;
}

void Events::ensure_shallow() const {
    if (!too_deep_) return;
    PyErr_Format(names_.too_deep, "events of values nested more than %zu levels deep are not made",
                 max_event_depth);
    throw python::python_error{};
}

void Events::discard() noexcept {
    staged_events_.clear();
    staged_items_.clear();
    too_deep_ = subs_.too_deep;
    root_end_staged_ = false;
}

void Events::end_root_number(const Reader& reader, PyObject* value) {
    if (subs_.root_end_told || root_end_staged_ || !events_live()) return;
    end(reader, value, false);
    root_end_staged_ = true;
}

Ref Events::step(const Reader& reader) const {
    const Reader::Level& level = reader.levels().back();
    if (level.object) return level.key;
    return Ref(check(PyLong_FromSsize_t(level.count)));
}

Selection::Reached Events::reach(const Reader& reader) {
    if (everything_) return Selection::Reached{0, 0};  // no set is kept: every path is wanted
    if (reader.depth() == 0) return stack_.root();
    const Reader::Level& level = reader.levels().back();
    return stack_.step(subs_.selection, frames_.back().reached, level.object ? level.key.get() : nullptr, level.count);
}

// The path of an open container, made once, from the nearest enclosing one
// whose path is made; a loop, not a recursion, whatever the depth. References
// are copied out of frames_ before anything that allocates, since allocating
// may run Python code.
Ref Events::frame_path(size_t frame) {
    size_t made = frame;
    while (!frames_[made].path && made > 0) --made;
    Ref path = frames_[made].path;
    if (!path) {
        path = Ref(check(PyTuple_New(0)));  // the root's
        frames_[0].path = path;
    }
    for (size_t next = made + 1; next <= frame; ++next) {
        const Ref last = frames_[next].step;
        const Py_ssize_t length = PyTuple_GET_SIZE(path.get());
        Ref longer(check(PyTuple_New(length + 1)));
        for (Py_ssize_t i = 0; i < length; ++i) {
            PyTuple_SET_ITEM(longer.get(), i, Py_NewRef(PyTuple_GET_ITEM(path.get(), i)));
        }
        PyTuple_SET_ITEM(longer.get(), length, Py_NewRef(last.get()));
        untrack(longer.get());
        frames_[next].path = longer;
        path = std::move(longer);
    }
    return path;
}

Ref Events::member_path(const Reader& reader) {
    if (reader.depth() == 0) return Ref(check(PyTuple_New(0)));
    Ref last = step(reader);
    const Ref parent = frame_path(frames_.size() - 1);
    const Py_ssize_t length = PyTuple_GET_SIZE(parent.get());
    Ref path(check(PyTuple_New(length + 1)));
    for (Py_ssize_t i = 0; i < length; ++i) PyTuple_SET_ITEM(path.get(), i, Py_NewRef(PyTuple_GET_ITEM(parent.get(), i)));
    PyTuple_SET_ITEM(path.get(), length, last.release());
    untrack(path.get());
    return path;
}

// Paths hold only strs and ints, and events of scalars nothing else: neither
// can be part of a cycle, so the collector need not walk them (there are many).
void Events::untrack(PyObject* object) { PyObject_GC_UnTrack(object); }

void Events::emit(PyObject* kind, PyObject* path, PyObject* value) {
    Ref event(check(names_.type->tp_alloc(names_.type, 3)));
    PyTuple_SET_ITEM(event.get(), 0, Py_NewRef(kind));
    PyTuple_SET_ITEM(event.get(), 1, Py_NewRef(path));
    PyTuple_SET_ITEM(event.get(), 2, Py_NewRef(value));
    if (!PyObject_IS_GC(value)) untrack(event.get());
    staged_events_.push_back(std::move(event));
}

const Ref& Events::string_path(const Reader& reader) {
    if (!member_.path) member_.path = member_path(reader);
    return member_.path;
}

// Raw text goes out as it is read: at the end of each piece, and wherever
// another event is made, so that events stay in the order of the text. It is
// not cut where nothing else is told.
void Events::begin(const Reader& reader, Kind kind) {
    if (kind == Kind::number || kind == Kind::word) {  // told only when raw text is wanted
        Selection::Reached raw_reached{0, 0};
        scalar_raw_ = raw_wanted(reader, raw_reached);
        raw_stack_.drop(raw_reached);
        scalar_number_ = kind == Kind::number;
        if (scalar_raw_) {
            raw_upto(reader, reader.pos());
            open_raw(reader, member_path(reader));
        }
        return;
    }
    const Selection::Reached reached = reach(reader);
    const bool selected = everything_ || wanted(reached);
    Selection::Reached raw_reached{0, 0};
    const bool raw = raw_on_ && raw_wanted(reader, raw_reached);
    if ((selected || raw) && !raws_.empty()) raw_upto(reader, reader.pos());
    if (kind == Kind::string) {
        if (raw_on_) raw_stack_.drop(raw_reached);
        member_ = Member{reached, selected, Ref(), 0, raw};
        member_open_ = true;
        if (selected && events_live() && shallow(reader.depth())) {
            emit(names_.start, string_path(reader).get(), names_.string);
        }
        if (raw) open_raw(reader, string_path(reader));
        return;
    }
    frames_.push_back(Frame{reached, selected, kind == Kind::object, raw, raw_reached,
                            reader.depth() == 0 ? Ref() : step(reader), Ref()});
    if (selected && events_live() && shallow(reader.depth())) {
        emit(names_.start, frame_path(frames_.size() - 1).get(), kind == Kind::object ? names_.object : names_.array);
    }
    if (raw) open_raw(reader, frame_path(frames_.size() - 1));
}

void Events::open_sequence() {
    frames_.push_back(Frame{everything_ ? Selection::Reached{0, 0} : stack_.root(), false, false, false,
                            raw_on_ ? raw_stack_.root() : Selection::Reached{0, 0}, Ref(), Ref()});
}

bool Events::raw_wanted(const Reader& reader, Selection::Reached& reached) {
    if (reader.depth() == 0) {
        reached = raw_stack_.root();
    } else {
        const Reader::Level& level = reader.levels().back();
        reached = raw_stack_.step(subs_.raw, frames_.back().raw_reached, level.object ? level.key.get() : nullptr,
                                  level.count);
    }
    return raw_stack_.wants_events(subs_.raw, reached);
}

void Events::open_raw(const Reader& reader, Ref path) {
    if (events_live()) shallow(reader.depth());
    raws_.push_back(Raw{std::move(path), reader.pos()});
}

void Events::close_raw(const Reader& reader, size_t to) {
    raw_upto(reader, to);
    raws_.pop_back();
}

// Every position a raw value's text is told up to lies in the piece being
// read, or at its end, since each piece is told up to its end when read.
void Events::raw_upto(const Reader& reader, size_t to) {
    for (Raw& raw : raws_) {
        if (raw.told >= to) continue;
        const size_t from = std::max(raw.told, reader.piece_start());
        if (from < to && events_live()) {
            const int kind = reader.piece_kind();
            const char* units = static_cast<const char*>(reader.piece()) + (from - reader.piece_start()) * kind;
            Ref fragment(check(PyUnicode_FromKindAndData(kind, units, static_cast<Py_ssize_t>(to - from))));
            const Ref path = raw.path;  // emitting may run Python code, which could not reach raws_; held anyway
            emit(names_.raw, path.get(), fragment.get());
        }
        raw.told = to;
    }
}

void Events::end(const Reader& reader, PyObject* value, bool container) {
    if (container) {
        if (frames_.back().raw) {
            close_raw(reader, reader.pos() + 1);
        } else if (frames_.back().selected && !raws_.empty()) {
            raw_upto(reader, reader.pos() + 1);
        }
        if (raw_on_) raw_stack_.drop(frames_.back().raw_reached);
        if (frames_.back().selected && events_live() && shallow(reader.depth())) {
            emit(names_.end, frame_path(frames_.size() - 1).get(), value);
        }
        stack_.drop(frames_.back().reached);
        frames_.pop_back();
    } else if (member_open_) {
        // A string: the characters not yet told, then its end. A string read
        // whole within one piece is told in one append of the value itself.
        const bool tell = member_.selected && events_live() && shallow(reader.depth());
        if (member_.told == 0 && reader.chars().size() > 0 && tell) {
            emit(names_.append, string_path(reader).get(), value);
            member_.told = reader.chars().size();
        } else {
            flush_string(reader);
        }
        if (member_.raw) {
            close_raw(reader, reader.pos() + 1);
        } else if (tell && !raws_.empty()) {
            raw_upto(reader, reader.pos() + 1);
        }
        member_open_ = false;
        if (tell && events_live()) emit(names_.end, string_path(reader).get(), value);
        stack_.drop(member_.reached);
        member_ = Member{};
    } else {
        const Selection::Reached reached = reach(reader);
        const bool tell = events_live() && (everything_ || wanted(reached)) && shallow(reader.depth());
        const size_t to = reader.pos() + (scalar_number_ ? 0 : 1);  // a number ends where the reader is
        if (scalar_raw_) {
            scalar_raw_ = false;
            close_raw(reader, to);
        } else if (tell && !raws_.empty()) {
            raw_upto(reader, to);
        }
        if (tell) {
            emit(names_.end, member_path(reader).get(), value);
        }
        stack_.drop(reached);
    }
    tell_items(reader, value);
}

void Events::tell_items(const Reader& reader, PyObject* value) {
    if (frames_.empty()) return;
    const bool object = frames_.back().object;
    targets_.clear();
    stack_.for_items(subs_.selection, frames_.back().reached, [&](int target) {
        if (Subscriptions::live(subs_.items[static_cast<size_t>(target)], replay_)) targets_.push_back(target);
    });
    if (targets_.empty()) return;
    Ref item = Ref::borrow(value);
    if (object) item = Ref(check(PyTuple_Pack(2, reader.levels().back().key.get(), value)));
    for (int target : targets_) staged_items_.emplace_back(target, item);
}

void Events::flush(const Reader& reader) {
    if (!raws_.empty()) raw_upto(reader, reader.pos());
    flush_string(reader);
}

void Events::flush_string(const Reader& reader) {
    if (!member_open_ || !member_.selected) return;
    const size_t size = reader.chars().size();
    if (size == member_.told) return;
    if (events_live() && shallow(reader.depth())) {
        Ref appended(reader.chars().str(member_.told, size));
        emit(names_.append, string_path(reader).get(), appended.get());
    }
    member_.told = size;
}

int Events::traverse(visitproc visit, void* arg) const {
    for (const Ref& event : staged_events_) Py_VISIT(event.get());
    for (const auto& [target, item] : staged_items_) Py_VISIT(item.get());
    return 0;
}

}  // namespace carrack::values
