// carrack._stream's Stream: completes a text fed in chunks at the cost of each
// chunk. It keeps the text and the engine's resumable Walker; a chunk is walked
// once, when it is fed, and never again. Its values and events, once asked
// for, come from one reader of the same chunks (carrack/values/).
#include <algorithm>
#include <array>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "carrack/python/python_support.hpp"
#include "carrack/modules/stream_module.hpp"
#include "carrack/python/text_buffer.hpp"
#include "carrack/values/values.hpp"

namespace {

using carrack::python::Ref;
using carrack::python::TextBuffer;
using carrack::stream::module_state;
using carrack::values::Subscriptions;
using carrack::values::Values;

// ---------------------------------------------------------------------------
// The Stream type
// ---------------------------------------------------------------------------

// How every call changes a stream: first everything that can fail or run
// Python code (reserving room, widening the text into scratch, reading the
// chunk's values and staging its events, making objects), then a commit of
// steps that cannot fail. A failure before the commit leaves the stream as it
// was, so the same call, or the same chunk, may be made again. A failure that
// cannot be undone (the text is not JSON, or nests too deep) is kept in the
// walker and makes the stream fail for good. Nothing in between.
//
// Nothing here is reachable from Python: the collector is shown only objects
// the stream hands out or shares (closed values, results held for taking
// back, events and items waiting), never a table the stream reads back.
struct State {
    carrack::Walker walker;
    TextBuffer text;
    std::string pending_utf8;  // the start of a character split across bytes chunks
    // What events() and items() asked for, and what the stream has told and
    // decided; none until one of them is called.
    std::unique_ptr<Subscriptions> subscriptions;
    // Built from the first call that asks for values or events on, so a caller
    // that only completes pays nothing for them. They are only ever a reading
    // of the text: when building them fails, they are dropped, and when what
    // they must report grows, they are read again from the text.
    std::unique_ptr<Values> values;
    // The last values in step with the text, kept until they are read again,
    // so that the objects already shared with the caller are the ones reused.
    std::unique_ptr<Values> earlier;
    std::array<std::unique_ptr<Values>, 2> dropped;  // released once the call is over
    const carrack::values::EventNames* names = nullptr;
    const carrack::stream::Errors* errors = nullptr;
    PyObject* any = nullptr;  // borrowed from the module, which the type keeps alive
    bool closed = false;      // close() returned the value
    bool busy = false;        // a call is under way
    // Made with stop_at_end: the text is one value, and the chunk past its end
    // is the caller's. ended: the value has ended (the walker knows where).
    bool stop_at_end = false;
    bool ended = false;
    bool settled = false;     // closed or ended: the value is final
    // Made with multiple_values: the text is a sequence of values, read as a list.
    bool multiple = false;
    bool build_values = true; // Stream(values=False) reads containers without building them
};

struct Stream {
    PyObject_HEAD
    State state;
};

State& state_of(PyObject* self) { return reinterpret_cast<Stream*>(self)->state; }

// Values let go of part way through a call, released when it is over; there
// is room for the two a call can drop (a reading that failed and the one
// before it).
void drop(State& state, std::unique_ptr<Values> values) {
    if (!values) return;
    for (auto& slot : state.dropped) {
        if (!slot) {
            slot = std::move(values);
            return;
        }
    }
    state.dropped[0] = std::move(values);  // not reached; released now rather than kept
}

// Compiles paths, an iterable of patterns, into selection. It runs the
// caller's code (the iterator), so it is done before the stream exists.
bool compile_paths(PyObject* paths, PyObject* any, carrack::values::Selection& selection) {
    Ref iterator(PyObject_GetIter(paths));
    if (!iterator) return false;
    while (Ref pattern{PyIter_Next(iterator.get())}) {
        if (!selection.add(pattern.get(), any, carrack::values::Selection::events, 0)) return false;
    }
    return !PyErr_Occurred();
}

// select chooses where events tell of values; raw where they also carry the
// values' source text.
std::unique_ptr<Subscriptions> compile_selection(PyObject* select, PyObject* raw, PyObject* any) {
    auto subscriptions = std::make_unique<Subscriptions>();
    if (select != Py_None) {
        subscriptions->selected = true;
        if (!compile_paths(select, any, subscriptions->selection)) return nullptr;
    }
    if (raw != Py_None) {
        subscriptions->raw_on = true;
        if (!compile_paths(raw, any, subscriptions->raw)) return nullptr;
    }
    return subscriptions;
}

PyObject* stream_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"select", "multiple_values", "stop_at_end", "raw", "values", nullptr};
    PyObject* select = Py_None;
    PyObject* raw = Py_None;
    int multiple_values = 0;
    int stop_at_end = 0;
    int build_values = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$OppOp:Stream", const_cast<char**>(keywords), &select,
                                     &multiple_values, &stop_at_end, &raw, &build_values)) {
        return nullptr;
    }
    if (multiple_values && stop_at_end) {
        PyErr_SetString(PyExc_ValueError, "a stream holds one value (stop_at_end) or many (multiple_values), not both");
        return nullptr;
    }
    carrack::stream::ModuleState& module = module_state(type);
    std::unique_ptr<Subscriptions> subscriptions;
    if (select != Py_None || raw != Py_None) {
        try {
            subscriptions = compile_selection(select, raw, module.any);
        } catch (...) {
            carrack::python::raise_caught_exception();
            return nullptr;
        }
        if (!subscriptions) return nullptr;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    try {
        new (&state_of(self)) State();
    } catch (...) {
        // tp_alloc zeroed the object, and the constructor leaves nothing behind when it throws
        Py_TYPE(self)->tp_free(self);
        carrack::python::raise_caught_exception();
        return nullptr;
    }
    State& state = state_of(self);
    state.names = &module.names;
    state.errors = &module.errors;
    state.any = module.any;
    state.subscriptions = std::move(subscriptions);
    state.stop_at_end = stop_at_end != 0;
    state.walker.set_stop_at_end(state.stop_at_end);
    state.multiple = multiple_values != 0;
    state.walker.set_multiple(state.multiple);
    state.build_values = build_values != 0;
    return self;
}

void stream_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    state_of(self).~State();
    type->tp_free(self);
    Py_DECREF(type);
}

// Callers can put the stream inside values it shares with them, so the
// collector must see what it holds.
int stream_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    const State& state = state_of(self);
    for (const auto* values : {state.values.get(), state.earlier.get(), state.dropped[0].get(),
                               state.dropped[1].get()}) {
        if (values == nullptr) continue;
        if (int status = values->traverse(visit, arg)) return status;
    }
    if (state.subscriptions) return state.subscriptions->traverse(visit, arg);
    return 0;
}

// Values are a reading of the text, so dropping them loses nothing; what waits
// in the subscriptions goes too, as the stream is garbage.
int stream_clear(PyObject* self) {
    State& state = state_of(self);
    if (state.busy) return 0;  // a call under way holds what it uses; it is freed with the stream
    std::unique_ptr<Values> values = std::move(state.values);
    std::unique_ptr<Values> earlier = std::move(state.earlier);
    auto dropped = std::move(state.dropped);
    std::unique_ptr<Subscriptions> subscriptions = std::move(state.subscriptions);
    return 0;
}

// ---------------------------------------------------------------------------
// One call at a time
// ---------------------------------------------------------------------------

// Releases what a call let go of, keeping the call's exception, if any: the
// finalizers this may run can use the stream again.
void release(std::vector<Ref>& garbage, std::array<std::unique_ptr<Values>, 2>& dropped) {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    garbage.clear();
    for (auto& values : dropped) values.reset();
    PyErr_Restore(type, value, traceback);
}

// Sets the exception for what a call threw: the stream's own failures as its
// own exception classes, the rest as any C++ exception is.
void raise_failure(const State& state) {
    if (PyErr_Occurred()) return;
    try {
        throw;
    } catch (const carrack::text_rejected& error) {
        PyErr_SetString(state.errors->rejected, error.what());
    } catch (const carrack::nesting_too_deep& error) {
        PyErr_SetString(state.errors->too_deep, error.what());
    } catch (...) {
        carrack::python::raise_caught_exception();
    }
}

// Runs body(state) as the one call under way on the stream. Free-threaded
// builds serialise calls with the object's critical section. A call that
// arrives while another is under way (from a finalizer, an __eq__ or a gc
// callback run by that call, or from another thread while such code let go of
// the lock) is refused. Text that is not JSON is reported once the call is
// over, since building json.JSONDecodeError runs Python code. Events a failed
// call staged are discarded, so that nobody is told of what did not happen.
template <typename Body>
PyObject* run(PyObject* self, Body body) {
    PyObject* result = nullptr;
    std::vector<Ref> garbage;
    std::array<std::unique_ptr<Values>, 2> dropped;
    std::optional<carrack::values::decode_error> decode_error;
    Ref doc;
    Py_BEGIN_CRITICAL_SECTION(self);
    State& state = state_of(self);
    if (state.busy) {
        PyErr_SetString(state.errors->in_use,
                        "Stream is in use: a call on it is under way (re-entered from code it ran, "
                        "such as a finalizer or an __eq__, or from another thread)");
    } else {
        state.busy = true;
        try {
            result = body(state);
        } catch (carrack::values::decode_error& error) {
            decode_error.emplace(std::move(error));  // moved: copying could throw inside the handler
            doc = Ref(state.text.to_str({}));
        } catch (const carrack::python::python_error&) {
        } catch (...) {
            raise_failure(state);
        }
        if (result == nullptr && state.values && state.values->events() != nullptr) {
            state.values->events()->discard();
        }
        if (state.values) garbage = state.values->take_garbage();
        if (state.dropped[0] || state.dropped[1]) dropped = std::move(state.dropped);
        state.busy = false;
    }
    Py_END_CRITICAL_SECTION();
    if (decode_error && doc) carrack::values::raise_decode_error(*decode_error, doc.get());
    if (!garbage.empty() || dropped[0] || dropped[1]) release(garbage, dropped);
    return result;
}

// Values that must be read again to report more: kept as the earlier reading,
// whose objects the new one reuses.
void reread_values(State& state) {
    if (!state.values) return;
    if (!state.earlier) {
        state.earlier = std::move(state.values);
    } else {
        drop(state, std::move(state.values));
    }
}

// The values, read from the text kept so far when first asked for, reusing
// the objects of the earlier reading. What the stream has told is not told
// again, and a close() stands. Throws; a reading that fails part way is
// dropped, and the stream is as it was.
Values& read_values(State& state) {
    Subscriptions* subscriptions = state.subscriptions.get();
    if (subscriptions != nullptr && !subscriptions->events_on && subscriptions->items.empty()) subscriptions = nullptr;
    auto values = std::make_unique<Values>(subscriptions, state.names, state.build_values, state.multiple);
    carrack::values::Events* events = values->events();
    try {
        values->reuse(state.earlier.get());
        // What the subscriptions were told is read again telling only the
        // fresh ones; what came after, while no values were read, is news.
        const auto length = static_cast<size_t>(state.text.length());
        const size_t told = events != nullptr ? std::min(subscriptions->told, length) : length;
        const auto read = [&](size_t from, size_t to) {
            const auto* units = static_cast<const char*>(state.text.data()) + from * state.text.kind();
            carrack::python::with_units([&](auto data, size_t size) { values->feed(data, size); }, state.text.kind(),
                                        units, to - from);
        };
        if (events != nullptr) events->set_replay(true);
        read(0, told);
        if (events != nullptr) events->set_replay(false);
        if (told < length) read(told, length);
        if (state.ended) values->end_root_number();
        if (state.closed) Ref(values->close());
        if (events != nullptr) events->reserve();
    } catch (...) {
        drop(state, std::move(values));
        throw;
    }
    values->reuse(nullptr);
    if (events != nullptr) events->commit(static_cast<size_t>(state.text.length()));
    drop(state, std::move(state.earlier));
    state.values = std::move(values);
    return *state.values;
}

inline Values& values_of(State& state) { return state.values ? *state.values : read_values(state); }

// ---------------------------------------------------------------------------
// Feeding and completing
// ---------------------------------------------------------------------------

// A bytes chunk as feed_text sees it: data holds what was pending before the
// chunk (pending bytes) and then the chunk's size bytes.
struct BytesFed {
    const char* data;
    size_t pending;
    size_t size;
};

// How many bytes of the chunk the first taken characters of data's text end
// in; the characters are whole, and begin with the pending one.
size_t bytes_taken(const BytesFed& bytes, size_t taken) {
    size_t at = 0;
    for (size_t seen = 0; seen < taken; ++seen) {
        do {
            ++at;
        } while (at < bytes.pending + bytes.size && (static_cast<unsigned char>(bytes.data[at]) & 0xC0) == 0x80);
    }
    return at - bytes.pending;
}

// Whether the first length characters of text hold a surrogate.
bool surrogate_within(PyObject* text, Py_ssize_t length) {
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_2BYTE_KIND:
            return carrack::python::has_surrogate(static_cast<const Py_UCS2*>(PyUnicode_DATA(text)), length);
        case PyUnicode_4BYTE_KIND:
            return carrack::python::has_surrogate(static_cast<const Py_UCS4*>(PyUnicode_DATA(text)), length);
        default:
            return false;
    }
}

// Takes a str chunk. What can fail comes first and changes nothing that the
// stream shows; then the walk, which fails only for good (the chunk is then
// kept in the text, which carrack() rejects); then the commit. waiting, for a
// bytes chunk, is what its end left of a character cut in two.
PyObject* feed_text(State& state, PyObject* chunk, std::string* waiting) {
    if (carrack::python::holds_surrogate(chunk)) return carrack::python::raise_encode_error(chunk);
    state.text.prepare(chunk);
    state.walker.reserve(static_cast<size_t>(PyUnicode_GET_LENGTH(chunk)));
    carrack::values::Events* events = nullptr;
    if (state.values) {
        try {
            carrack::python::with_units([&](auto units, size_t size) { state.values->feed(units, size); }, chunk);
            events = state.values->events();
            if (events != nullptr) events->reserve();
        } catch (...) {
            // Out of step with the text: read again when next asked for,
            // with new objects (only values in step are reused).
            drop(state, std::move(state.values));
            throw;
        }
    }
    bool failed = false;
    try {
        carrack::python::feed_str(state.walker, chunk);
    } catch (...) {
        failed = true;  // the walker keeps its failure, and raises it again below
    }
    // The commit: nothing below can fail.
    state.text.append(chunk);
    if (waiting != nullptr) state.pending_utf8.swap(*waiting);
    if (events != nullptr) events->commit(static_cast<size_t>(state.text.length()));
    if (failed) {
        state.walker.check();
        throw std::logic_error("the walk failed and kept no failure");
    }
    Py_RETURN_NONE;
}

// feed_text for a stream that stops at its value's end, in the same steps. It
// first walks a copy of the walker, so that it knows how much of the chunk it
// takes before anything is read or made; the copy, cheap while nesting stays
// shallow, becomes the walker at the commit. It returns that count, of
// characters or, given bytes, of bytes. What lies past the value's end is the
// caller's: a surrogate there is no error of the stream's, nor, when
// invalid_after says the bytes after chunk are not UTF-8, are those bytes,
// unless the value goes on into them (nullptr, no exception set, nothing
// changed: the caller raises the decoding error).
PyObject* feed_until_end(State& state, PyObject* chunk, std::string* waiting, const BytesFed* bytes,
                         bool invalid_after = false) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(chunk);
    state.text.prepare(chunk);
    carrack::Walker trial(state.walker);
    trial.reserve(static_cast<size_t>(length));
    bool failed = false;
    try {
        carrack::python::feed_str(trial, chunk);
    } catch (const std::bad_alloc&) {
        throw;  // the walker is untouched: nothing changed
    } catch (...) {
        failed = true;  // nested too deep: for good, once committed
    }
    // A character cut in two at the chunk's end (or bytes that are not UTF-8)
    // is not ASCII, so it cannot go on a number at the root: the value ends
    // with the chunk's whole characters, and the cut one is not taken.
    const bool cut = !failed && !trial.ended() && (invalid_after || (waiting != nullptr && !waiting->empty())) &&
                     trial.end_before_non_ascii();
    Py_ssize_t taken = length;
    if (trial.ended() && !cut) {
        carrack::python::with_units(
            [&](auto units, size_t size) { taken = static_cast<Py_ssize_t>(trial.taken(units, size)); },
            chunk);
    }
    if (invalid_after && !trial.ended()) return nullptr;
    if (surrogate_within(chunk, taken)) return carrack::python::raise_encode_error(chunk);
    const size_t said = bytes == nullptr ? static_cast<size_t>(taken)
                        : trial.ended()  ? bytes_taken(*bytes, static_cast<size_t>(taken))
                                         : bytes->size;
    Ref count(carrack::python::check(PyLong_FromSize_t(said)));
    carrack::values::Events* events = nullptr;
    if (state.values) {
        try {
            carrack::python::with_units([&](auto units, size_t size) { state.values->feed(units, size); },
                                        PyUnicode_KIND(chunk), PyUnicode_DATA(chunk), static_cast<size_t>(taken));
            if (trial.ended()) state.values->end_root_number();
            events = state.values->events();
            if (events != nullptr) events->reserve();
        } catch (...) {
            drop(state, std::move(state.values));
            throw;
        }
    }
    // The commit: nothing below can fail.
    state.walker = std::move(trial);
    state.text.append(chunk, taken);
    state.ended = state.walker.ended();
    state.settled = state.ended;
    if (waiting != nullptr) {
        if (state.ended) {
            state.pending_utf8.clear();  // the cut character lies past the end
        } else {
            state.pending_utf8.swap(*waiting);
        }
    }
    if (events != nullptr) events->commit(static_cast<size_t>(state.text.length()));
    if (failed) {
        state.walker.check();
        throw std::logic_error("the walk failed and kept no failure");
    }
    return count.release();
}

// For a stream that stops at its value's end, bytes that are not UTF-8 are an
// error only where the value goes on into them: the valid bytes before them
// are fed, and the error is raised again if they do not end the value.
PyObject* feed_valid_bytes(State& state, const char* data, size_t pending, size_t size) {
    PyObject *type = nullptr, *error = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &error, &traceback);
    PyErr_NormalizeException(&type, &error, &traceback);
    Ref held_type(type), held_error(error), held_traceback(traceback);
    Py_ssize_t start = 0;
    if (error == nullptr || PyUnicodeDecodeError_GetStart(error, &start) < 0) {
        if (!PyErr_Occurred()) PyErr_Restore(held_type.release(), held_error.release(), held_traceback.release());
        return nullptr;
    }
    Ref text(PyUnicode_DecodeUTF8(data, start, "strict"));
    if (!text) return nullptr;
    std::string waiting;
    const BytesFed bytes{data, pending, size};
    PyObject* result = feed_until_end(state, text.get(), &waiting, &bytes, true);
    if (result == nullptr && !PyErr_Occurred()) {
        PyErr_Restore(held_type.release(), held_error.release(), held_traceback.release());
    }
    return result;
}

// Takes UTF-8 split anywhere: a character cut at the end of a chunk waits for
// the next one, so that the text only ever holds whole characters.
PyObject* feed_bytes(State& state, const char* data, Py_ssize_t size) {
    std::string joined;
    if (!state.pending_utf8.empty()) {
        joined.reserve(state.pending_utf8.size() + static_cast<size_t>(size));
        joined.append(state.pending_utf8).append(data, static_cast<size_t>(size));
        data = joined.data();
        size = static_cast<Py_ssize_t>(joined.size());
    }
    Py_ssize_t consumed = 0;
    Ref text(PyUnicode_DecodeUTF8Stateful(data, size, "strict", &consumed));
    if (!text) return nullptr;
    std::string waiting(data + consumed, static_cast<size_t>(size - consumed));
    return feed_text(state, text.get(), &waiting);
}

// feed() of a stream that stops at its value's end: chunk, or, when it is
// nullptr, the bytes in view.
PyObject* feed_stopping(State& state, PyObject* chunk, const Py_buffer& view) {
    if (state.ended) return PyLong_FromLong(0);  // the rest is the caller's
    if (chunk != nullptr) {
        if (!state.pending_utf8.empty()) {
            PyErr_SetString(PyExc_ValueError, "a str chunk while a character fed as bytes is incomplete");
            return nullptr;
        }
        return feed_until_end(state, chunk, nullptr, nullptr);
    }
    const char* data = static_cast<const char*>(view.buf);
    const auto chunk_size = static_cast<size_t>(view.len);
    const size_t pending = state.pending_utf8.size();
    std::string joined;
    if (pending != 0) {
        joined.reserve(pending + chunk_size);
        joined.append(state.pending_utf8).append(data, chunk_size);
        data = joined.data();
    }
    const auto size = static_cast<Py_ssize_t>(pending + chunk_size);
    Py_ssize_t consumed = 0;
    Ref text(PyUnicode_DecodeUTF8Stateful(data, size, "strict", &consumed));
    if (!text) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return nullptr;
        return feed_valid_bytes(state, data, pending, chunk_size);
    }
    std::string waiting(data + consumed, static_cast<size_t>(size - consumed));
    const BytesFed bytes{data, pending, chunk_size};
    return feed_until_end(state, text.get(), &waiting, &bytes);
}

PyObject* stream_feed(PyObject* self, PyObject* chunk) {
    const bool text = PyUnicode_Check(chunk);
    if (!text && !PyBytes_Check(chunk) && !PyByteArray_Check(chunk) && !PyMemoryView_Check(chunk)) {
        PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", "chunk",
                     "str, bytes, bytearray or memoryview", Py_TYPE(chunk)->tp_name);
        return nullptr;
    }
    // The buffer stays exported for the call, so a bytearray cannot change size under it.
    Py_buffer view{};
    if (!text && PyObject_GetBuffer(chunk, &view, PyBUF_SIMPLE) < 0) return nullptr;
    PyObject* result = run(self, [&](State& state) -> PyObject* {
        if (state.closed) {
            PyErr_SetString(state.errors->closed, "feed() after close()");
            return nullptr;
        }
        state.walker.check();
        if (state.stop_at_end) return feed_stopping(state, text ? chunk : nullptr, view);
        if (text) {
            if (!state.pending_utf8.empty()) {
                PyErr_SetString(PyExc_ValueError, "a str chunk while a character fed as bytes is incomplete");
                return nullptr;
            }
            return feed_text(state, chunk, nullptr);
        }
        return feed_bytes(state, static_cast<const char*>(view.buf), view.len);
    });
    if (!text) PyBuffer_Release(&view);
    return result;
}

PyObject* stream_completion(PyObject* self, PyObject*) {
    return run(self, [](State& state) { return state.text.to_str(state.walker.suffix()); });
}

PyObject* stream_get_text(PyObject* self, void*) {
    return run(self, [](State& state) { return state.text.to_str({}); });
}

PyObject* stream_get_suffix(PyObject* self, void*) {
    return run(self, [](State& state) {
        const std::string suffix = state.walker.suffix();
        return PyUnicode_FromStringAndSize(suffix.data(), static_cast<Py_ssize_t>(suffix.size()));
    });
}

PyObject* stream_repr(PyObject* self) {
    PyObject* result = nullptr;
    Py_BEGIN_CRITICAL_SECTION(self);
    const State& state = state_of(self);
    if (state.busy) {
        result = PyUnicode_FromString("<carrack.Stream: in use>");
    } else {
        result = PyUnicode_FromFormat("<carrack.Stream: %zd characters, %zu open>", state.text.length(),
                                      state.walker.depth());
    }
    Py_END_CRITICAL_SECTION();
    return result;
}

// ---------------------------------------------------------------------------
// Values: value(), path, done, close()
// ---------------------------------------------------------------------------

// json.loads(text), which the completer's refusal does not change; a walk that
// nested too deep stands. Whole: what it tells is committed with it.
PyObject* closed_value(State& state) {
    Values& values = values_of(state);
    if (state.walker.failure() != carrack::Walker::Failure::rejected) state.walker.check();
    Ref result;
    carrack::values::Events* events = values.events();
    try {
        result = Ref(values.close());
        if (events != nullptr) events->reserve();
    } catch (...) {
        // Closing a sequence reads a number the text's end ends: the values
        // are then ahead of the stream, and are read again when next asked for.
        if (state.multiple) drop(state, std::move(state.values));
        throw;
    }
    if (events != nullptr) events->commit(static_cast<size_t>(state.text.length()));
    return result.release();
}

PyObject* stream_value(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const keywords[] = {"partial", nullptr};
    PyObject* partial = nullptr;
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    if (nargs + nkw > 1) {
        PyErr_SetString(PyExc_TypeError, "value() takes at most 1 argument");
        return nullptr;
    }
    if (nargs == 1) {
        partial = args[0];
    } else if (nkw == 1) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, 0);
        if (!PyUnicode_Check(name) || PyUnicode_CompareWithASCIIString(name, keywords[0]) != 0) {
            PyErr_Format(PyExc_TypeError, "value() got an unexpected keyword argument '%S'", name);
            return nullptr;
        }
        partial = args[0];
    }
    carrack::values::Policy policy = carrack::values::Policy::all;
    if (partial != nullptr) {
        if (PyUnicode_Check(partial) && PyUnicode_CompareWithASCIIString(partial, "all") == 0) {
            policy = carrack::values::Policy::all;
        } else if (PyUnicode_Check(partial) && PyUnicode_CompareWithASCIIString(partial, "strings") == 0) {
            policy = carrack::values::Policy::strings;
        } else if (PyUnicode_Check(partial) && PyUnicode_CompareWithASCIIString(partial, "closed") == 0) {
            policy = carrack::values::Policy::closed;
        } else {
            PyErr_Format(PyExc_ValueError, "partial must be 'all', 'strings' or 'closed', not %R", partial);
            return nullptr;
        }
    }
    return run(self, [policy](State& state) -> PyObject* {
        if (!state.build_values) {
            PyErr_SetString(PyExc_TypeError, "a Stream made with values=False builds no values");
            return nullptr;
        }
        // Once closed or ended, the value is final under every policy: close()'s.
        if (state.settled) return closed_value(state);
        return values_of(state).value(policy, state.walker);
    });
}

PyObject* stream_close(PyObject* self, PyObject*) {
    return run(self, [](State& state) -> PyObject* {
        if (!state.pending_utf8.empty()) {
            // The bytes end inside a character: strict UTF-8 refuses them.
            Ref decoded(PyUnicode_DecodeUTF8(state.pending_utf8.data(),
                                             static_cast<Py_ssize_t>(state.pending_utf8.size()), "strict"));
            if (decoded) PyErr_SetString(PyExc_SystemError, "an incomplete character decoded");
            return nullptr;
        }
        PyObject* result = closed_value(state);
        state.closed = true;  // only once the value is made
        state.settled = true;
        return result;
    });
}

PyObject* stream_get_path(PyObject* self, void*) {
    return run(self, [](State& state) {
        Values& values = values_of(state);
        state.walker.check();
        return values.path();
    });
}

PyObject* stream_get_done(PyObject* self, void*) {
    return run(self, [](State& state) {
        // A number at the root ends only when close() reads the end of the text.
        if (state.settled) Py_RETURN_TRUE;
        Values& values = values_of(state);
        state.walker.check();
        return PyBool_FromLong(values.done());
    });
}

// ---------------------------------------------------------------------------
// Events: events(), items()
// ---------------------------------------------------------------------------

Subscriptions& subscriptions_of(State& state) {
    if (!state.subscriptions) state.subscriptions = std::make_unique<Subscriptions>();
    return *state.subscriptions;
}

// Hands over what waits in queue; with nothing waiting, raises what value()
// would for the text, since nothing more can come of it.
PyObject* take(State& state, Subscriptions::Queue& queue, bool events) {
    Values& values = values_of(state);
    if (queue.waiting.empty()) {
        values.ensure_readable(true, state.walker);
        if (events) values.events()->ensure_shallow();
        return PyList_New(0);
    }
    const auto size = static_cast<Py_ssize_t>(queue.waiting.size());
    Ref list(carrack::python::check(PyList_New(size)));
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyList_SET_ITEM(list.get(), i, queue.waiting[static_cast<size_t>(i)].release());
    }
    queue.waiting.clear();
    return list.release();
}

// A subscription is taken on before the values are read for it. Should the
// reading fail, it stays, fresh: it is told everything when next read, which
// is what a call made again would tell, so the stream shows no change.
PyObject* stream_events(PyObject* self, PyObject*) {
    return run(self, [](State& state) {
        Subscriptions& subscriptions = subscriptions_of(state);
        if (!subscriptions.events_on) {
            subscriptions.events_on = true;
            subscriptions.events.fresh = true;
            reread_values(state);
        }
        return take(state, subscriptions.events, true);
    });
}

// path as a tuple of exact strs, ints and ANY, so that comparing paths runs no
// Python code of the caller's.
Ref canonical_path(PyObject* path, PyObject* any) {
    if (!PyTuple_Check(path)) {
        PyErr_Format(PyExc_TypeError, "a path is a tuple, not %.200s", Py_TYPE(path)->tp_name);
        throw carrack::python::python_error{};
    }
    const Py_ssize_t length = PyTuple_GET_SIZE(path);
    Ref canonical(carrack::python::check(PyTuple_New(length)));
    for (Py_ssize_t i = 0; i < length; ++i) {
        PyObject* step = PyTuple_GET_ITEM(path, i);
        PyObject* made = nullptr;
        if (step == any || PyLong_CheckExact(step)) {
            made = Py_NewRef(step);
        } else if (PyUnicode_Check(step)) {
            made = carrack::python::check(PyUnicode_FromObject(step));
        } else {
            PyErr_Format(PyExc_TypeError, "a path's steps are str keys, int indices or carrack.ANY, not %.200s",
                         Py_TYPE(step)->tp_name);
            throw carrack::python::python_error{};
        }
        PyTuple_SET_ITEM(canonical.get(), i, made);
    }
    return canonical;
}

PyObject* stream_items(PyObject* self, PyObject* path) {
    return run(self, [path](State& state) {
        if (!state.build_values) {
            PyErr_SetString(PyExc_TypeError, "a Stream made with values=False builds no items");
            return static_cast<PyObject*>(nullptr);
        }
        Ref canonical = canonical_path(path, state.any);
        Subscriptions& subscriptions = subscriptions_of(state);
        int index = subscriptions.items_index(canonical.get());
        if (index < 0) {
            // The queue first, so that the selection never names a queue that is missing.
            subscriptions.items.reserve(subscriptions.items.size() + 1);
            index = static_cast<int>(subscriptions.items.size());
            subscriptions.items.push_back(Subscriptions::Queue{canonical, {}, true});
            if (!subscriptions.selection.add(canonical.get(), state.any, carrack::values::Selection::items, index)) {
                subscriptions.items.pop_back();
                throw carrack::python::python_error{};
            }
            reread_values(state);
        }
        return take(state, subscriptions.items[static_cast<size_t>(index)], false);
    });
}

PyMethodDef stream_methods[] = {
    {"feed", stream_feed, METH_O,
     "feed($self, chunk, /)\n--\n\n"
     "Append chunk to the text, walking only the chunk. chunk is a str, or bytes,\n"
     "a bytearray or a memoryview holding UTF-8 split anywhere: a character cut at\n"
     "the end of a chunk waits for the next (invalid UTF-8 raises\n"
     "UnicodeDecodeError and changes nothing).\n\n"
     "Raises RejectedTextError (a RuntimeError) when bytes are left over after the\n"
     "JSON value, and NestingTooDeepError (a RecursionError) when arrays and\n"
     "objects nest more than 1,000,000 levels deep; from then on feed, suffix and\n"
     "completion() raise the same again. A chunk holding a lone surrogate raises\n"
     "UnicodeEncodeError, and a shortage of memory MemoryError; either changes\n"
     "nothing, so the chunk may be fed again.\n\n"
     "Returns None, or, for a stream made with stop_at_end=True, how many of the\n"
     "chunk's characters (str) or bytes (bytes-like) belong to the stream's text:\n"
     "chunk[n:] is the caller's. Whitespace before the value is taken, nothing\n"
     "after its last character is. A character cut in two at the chunk's end\n"
     "counts with its bytes when it is taken (it then waits for the next chunk);\n"
     "a number at the root ends at the first character that cannot go on it, or\n"
     "at close(). Once the value has ended, feed returns 0. The end is where the\n"
     "completer finds it, and the completer reads more than JSON ('[x' ends after\n"
     "its 'x'): a value that is not JSON ends too, and its value() and close()\n"
     "raise json.JSONDecodeError, so check one of them before trusting it."},
    {"completion", stream_completion, METH_NOARGS,
     "completion($self, /)\n--\n\n"
     "The text with the suffix appended: equal to carrack(text), without walking\n"
     "the text again (the text is copied into the new str)."},
    {"value", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(stream_value)),
     METH_FASTCALL | METH_KEYWORDS,
     "value($self, /, partial='all')\n--\n\n"
     "The Python value of the text so far, at the cost of what was fed since the\n"
     "last call plus what is still open (the widths of open arrays and objects,\n"
     "the length of an open string).\n\n"
     "partial='all' gives json.loads(completion(), strict=False). 'strings' leaves\n"
     "out open numbers and literals, object members whose key is unfinished or\n"
     "whose value is not begun or left out, and keeps an open string up to its\n"
     "last whole character; 'closed' also leaves out open strings. Open arrays\n"
     "and objects appear with the members kept; a root left out gives None.\n\n"
     "The lists and dicts still open in a result belong to the caller: changing\n"
     "them changes nothing the stream returns later. Closed values are shared\n"
     "between results; copy them (copy.deepcopy) before changing them.\n\n"
     "Raises json.JSONDecodeError, with pos at the first character that no JSON\n"
     "text continues from, when the text is not JSON (ValueError for an integer\n"
     "beyond sys.get_int_max_str_digits())."},
    {"events", stream_events, METH_NOARGS,
     "events($self, /)\n--\n\n"
     "The events since the last call, in the order of the text, as a list of\n"
     "carrack.Event(kind, path, value): 'start' when an object, array or string\n"
     "begins at path (value names which); 'append' when a string value grew (value:\n"
     "the characters added, escapes decoded); 'end' when the value at path is final\n"
     "(value: it, the same object value() shares). Numbers, true, false and null\n"
     "give only 'end'. The first call returns the events of everything fed so far.\n\n"
     "Only the paths the stream was made to select (Stream(select=...)) give\n"
     "events; the others cost nothing. With nothing waiting, raises what value()\n"
     "raises for text that is not JSON.\n\n"
     "The values at paths the stream was made with in raw (Stream(raw=...)) also\n"
     "give 'raw' events, whether selected or not: value is a str of the value's\n"
     "source text as fed, from its first character to its last (whitespace\n"
     "inside kept), handed out as soon as it is fed; joined, a value's fragments\n"
     "are its slice of the text."},
    {"items", stream_items, METH_O,
     "items($self, path, /)\n--\n\n"
     "The members of the array or object at path that became final since the last\n"
     "call with this path: an array's elements, an object's (key, value) pairs.\n"
     "path may hold carrack.ANY for any key or index. The first call with a path\n"
     "returns those of everything fed so far."},
    {"close", stream_close, METH_NOARGS,
     "close($self, /)\n--\n\n"
     "End the stream: json.loads(text, strict=False); feed raises\n"
     "StreamClosedError (a ValueError) after. Raises json.JSONDecodeError unless\n"
     "the text is exactly one complete value, and then changes nothing."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef stream_getset[] = {
    {"text", stream_get_text, nullptr, "Everything fed so far, as one str.", nullptr},
    {"suffix", stream_get_suffix, nullptr,
     "What carrack(text) appends to the text: ASCII, computed from the walk's state\n"
     "in time proportional to the nesting depth.",
     nullptr},
    {"path", stream_get_path, nullptr,
     "Keys and indices from the root to the value being written, as a tuple;\n"
     "everything in value() off this path is final.",
     nullptr},
    {"done", stream_get_done, nullptr,
     "Whether the root value has ended (a number at the root: once whitespace\n"
     "follows it, or, with stop_at_end, any character that cannot go on it).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr char stream_doc[] =
    "Stream(*, select=None, multiple_values=False, stop_at_end=False, raw=None, values=True)\n--\n\n"
    "A JSON text completed as it grows. Feed it chunks; at any point suffix is\n"
    "what carrack(text) would append and completion() equals carrack(text). Each\n"
    "chunk is walked once, so a stream costs time proportional to its length, not\n"
    "to its length squared. Calls on a stream run one at a time; one made while\n"
    "another is under way (from code that call runs) raises RuntimeError.\n\n"
    "select, an iterable of paths (tuples of str keys, int indices and\n"
    "carrack.ANY, ending in ... to take everything inside too), chooses where\n"
    "events() reports; by default it reports everywhere.\n\n"
    "raw, paths as select takes them, chooses values whose source text events()\n"
    "also hands out, as 'raw' events (select=[] for those alone).\n\n"
    "multiple_values=True makes the text a sequence of values (JSON Lines, or\n"
    "values separated by whitespace): paths begin with the value's ordinal,\n"
    "items(()) gives each value as it ends, and value() and close() give the\n"
    "list of the values.\n\n"
    "stop_at_end=True makes the stream hold one value within other text: it\n"
    "stops at the value's end, and feed() says how much of each chunk it took.\n\n"
    "values=False reads arrays and objects without building them, for a caller\n"
    "that wants only events: their 'end' events carry None, close() returns None,\n"
    "and value() and items() raise TypeError.\n\n"
    ">>> stream = Stream()\n"
    ">>> stream.feed('{\"a\": [1, tr')\n"
    ">>> stream.suffix\n"
    "'ue]}'\n"
    ">>> stream.completion()\n"
    "'{\"a\": [1, true]}'";

PyType_Slot stream_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(stream_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(stream_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(stream_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(stream_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(stream_repr)},
    {Py_tp_methods, stream_methods},
    {Py_tp_getset, stream_getset},
    {Py_tp_doc, const_cast<char*>(stream_doc)},
    {0, nullptr},
};

}  // namespace

namespace carrack::stream {

PyType_Spec stream_spec = {
    "carrack.Stream",
    sizeof(Stream),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC,
    stream_slots,
};

}  // namespace carrack::stream
