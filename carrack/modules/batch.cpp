// loads, loads_many and complete_many: texts read in one call each, without a
// Stream, and batches of texts completed across native threads.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "carrack/rows/pool.hpp"
#include "carrack/rows/rows.hpp"
#include "carrack/modules/batch_module.hpp"
#include "carrack/python/python_support.hpp"
#include "carrack/values/values.hpp"

namespace carrack::batch {

namespace {

using python::Ref;
using values::Policy;

// ---------------------------------------------------------------------------
// loads
// ---------------------------------------------------------------------------

// partial as a policy; -1 with ValueError for anything else, as Stream.value.
int policy_of(PyObject* partial, Policy& policy) {
    if (partial == nullptr) {
        policy = Policy::all;
        return 0;
    }
    static const char* const names[] = {"all", "strings", "closed"};
    static const Policy policies[] = {Policy::all, Policy::strings, Policy::closed};
    if (PyUnicode_Check(partial)) {
        for (int i = 0; i < 3; ++i) {
            if (PyUnicode_CompareWithASCIIString(partial, names[i]) == 0) {
                policy = policies[i];
                return 0;
            }
        }
    }
    PyErr_Format(PyExc_ValueError, "partial must be 'all', 'strings' or 'closed', not %R", partial);
    return -1;
}

// text as a str: a str itself, or UTF-8 bytes decoded as Stream.feed decodes
// them, a character cut at the end left out.
Ref text_of(PyObject* text) {
    if (PyUnicode_Check(text)) return Ref::borrow(text);
    if (!PyBytes_Check(text) && !PyByteArray_Check(text) && !PyMemoryView_Check(text)) {
        PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", "text",
                     "str, bytes, bytearray or memoryview", Py_TYPE(text)->tp_name);
        return Ref();
    }
    Py_buffer view{};
    if (PyObject_GetBuffer(text, &view, PyBUF_SIMPLE) < 0) return Ref();
    Py_ssize_t consumed = 0;
    Ref decoded(PyUnicode_DecodeUTF8Stateful(static_cast<const char*>(view.buf), view.len, "strict", &consumed));
    PyBuffer_Release(&view);
    return decoded;
}

// The value of one text, read as Stream reads it: the walk first, which
// refuses what feed() refuses, then the values of the same text.
PyObject* load(const ModuleState& state, PyObject* text, Policy policy) {
    Ref str = text_of(text);
    if (!str) return nullptr;
    if (python::holds_surrogate(str.get())) return python::raise_encode_error(str.get());
    PyObject* result = nullptr;
    std::vector<Ref> garbage;
    try {
        Walker walker;
        python::feed_str(walker, str.get());
        values::Values values;
        try {
            python::with_units([&](auto units, size_t size) { values.feed(units, size); }, str.get());
            result = values.value(policy, walker);
        } catch (...) {
            garbage = values.take_garbage();
            throw;
        }
        garbage = values.take_garbage();
    } catch (const values::decode_error& error) {
        values::raise_decode_error(error, str.get());
    } catch (const python::python_error&) {
    } catch (const text_rejected& error) {
        PyErr_SetString(state.rejected, error.what());  // Stream's own classes, as feed() raises
    } catch (const nesting_too_deep& error) {
        PyErr_SetString(state.too_deep, error.what());
    } catch (...) {
        python::raise_caught_exception();
    }
    if (!garbage.empty()) {
        PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
        PyErr_Fetch(&type, &value, &traceback);
        garbage.clear();
        PyErr_Restore(type, value, traceback);
    }
    return result;
}

// errors="null": a row's Exception gives None; anything else (KeyboardInterrupt) stands.
bool clear_row_error() {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyErr_Clear();
    return true;
}

// ---------------------------------------------------------------------------
// complete_many
// ---------------------------------------------------------------------------

// A row's str as the walk reads it, taken while the interpreter is held.
struct TextRow {
    const void* data = nullptr;
    size_t length = 0;
    int kind = PyUnicode_1BYTE_KIND;
    bool ascii = true;
    Py_UCS4 max_char = 0;  // as PyUnicode_New wants it for the completion
};

Outcome walk_row(const TextRow& row, std::string& suffix) {
    switch (row.kind) {
        case PyUnicode_1BYTE_KIND:
            if (row.ascii) {
                return complete_utf8(std::string_view(static_cast<const char*>(row.data), row.length), suffix);
            }
            return complete_row(
                [&](Walker& w) { w.feed_latin1(std::span(static_cast<const unsigned char*>(row.data), row.length)); },
                suffix);
        case PyUnicode_2BYTE_KIND: {
            const auto* units = static_cast<const Py_UCS2*>(row.data);
            if (python::has_surrogate(units, static_cast<Py_ssize_t>(row.length))) return Outcome::surrogate;
            return complete_row(
                [&](Walker& w) { w.feed_ucs2(std::u16string_view(reinterpret_cast<const char16_t*>(units), row.length)); },
                suffix);
        }
        default: {
            const auto* units = static_cast<const Py_UCS4*>(row.data);
            if (python::has_surrogate(units, static_cast<Py_ssize_t>(row.length))) return Outcome::surrogate;
            return complete_row(
                [&](Walker& w) { w.feed_ucs4(std::u32string_view(reinterpret_cast<const char32_t*>(units), row.length)); },
                suffix);
        }
    }
}

// Writes text and the ASCII suffix into result, a new str of text's kind and
// their length that no one else holds yet; needs no interpreter.
void write_completion(PyObject* result, const TextRow& text, const std::string& suffix) {
    const int kind = PyUnicode_KIND(result);
    void* data = PyUnicode_DATA(result);
    std::memcpy(data, text.data, text.length * static_cast<size_t>(kind));
    const auto at = static_cast<Py_ssize_t>(text.length);
    if (kind == PyUnicode_1BYTE_KIND) {
        std::memcpy(static_cast<char*>(data) + at, suffix.data(), suffix.size());
        return;
    }
    for (size_t i = 0; i < suffix.size(); ++i) {
        PyUnicode_WRITE(kind, data, at + static_cast<Py_ssize_t>(i), static_cast<Py_UCS4>(suffix[i]));
    }
}

// Raises what carrack(row) raises for a row that failed, walking it again to
// get the walker's own exception. Returns nullptr.
PyObject* raise_row(PyObject* row, Outcome outcome) {
    switch (outcome) {
        case Outcome::wrong_type:
            PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                         "prefix", "str", Py_TYPE(row)->tp_name);
            return nullptr;
        case Outcome::surrogate:
            return python::raise_encode_error(row);
        case Outcome::out_of_memory:
            return PyErr_NoMemory();
        default:
            try {
                Walker walker;
                python::feed_str(walker, row);
                walker.check();
            } catch (...) {
                python::raise_caught_exception();
                return nullptr;
            }
            PyErr_SetString(PyExc_SystemError, "a failed row completed on a second walk");
            return nullptr;
    }
}

// The rows of texts, taken one at a time holding the interpreter. A list is
// read as a loop over it reads it, a row when its turn comes, so that a
// batch costs no pass over every row's header before the walks and none
// after; anything else is made a tuple first (a generator runs once).
class RowSource {
public:
    // False with an exception set.
    bool open(PyObject* texts) {
        if (PyList_CheckExact(texts)) {
            list_ = Ref::borrow(texts);
            return true;
        }
        tuple_ = Ref(PyTuple_CheckExact(texts) ? Py_NewRef(texts) : PySequence_Tuple(texts));
        return static_cast<bool>(tuple_);
    }
    // Asks the cache for row i's header, which take() soon reads: a batch's
    // rows lie anywhere in memory, and a miss on each, one after the other,
    // held up the thread that reads them while the others walked. Not where
    // another thread may move the list's items meanwhile (no GIL).
    void prefetch([[maybe_unused]] size_t i) const {
#if !defined(Py_GIL_DISABLED) && (defined(__GNUC__) || defined(__clang__))
        const auto at = static_cast<Py_ssize_t>(i);
        PyObject* sequence = tuple_ ? tuple_.get() : list_.get();
        const Py_ssize_t size = Py_SIZE(sequence);
        if (at < size) {
            __builtin_prefetch(tuple_ ? PyTuple_GET_ITEM(sequence, at) : PyList_GET_ITEM(sequence, at));
        }
#endif
    }
    // Row i, or none past the end.
    Ref take(size_t i) const {
        const auto at = static_cast<Py_ssize_t>(i);
        if (tuple_) return at < PyTuple_GET_SIZE(tuple_.get()) ? Ref::borrow(PyTuple_GET_ITEM(tuple_.get(), at)) : Ref();
#if PY_VERSION_HEX >= 0x030D0000
        // Another thread may shrink the list meanwhile where there is no GIL.
        Ref row(PyList_GetItemRef(list_.get(), at));
        if (!row) PyErr_Clear();
        return row;
#else
        return at < PyList_GET_SIZE(list_.get()) ? Ref::borrow(PyList_GET_ITEM(list_.get(), at)) : Ref();
#endif
    }

private:
    Ref list_;
    Ref tuple_;
};

// Rows handed out together to a thread: about 64 KiB of text.
size_t rows_per_block(size_t rows, size_t text_bytes) {
    const size_t average = rows == 0 ? 1 : std::max<size_t>(1, text_bytes / rows);
    return std::clamp<size_t>(64 * 1024 / average, 16, 1024);
}

// The results as a list, made only once every one exists: a list with empty
// slots must never be where code run by an allocation (a finalizer walking
// gc.get_objects()) could find it.
PyObject* list_of(std::vector<Ref>& results) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(results.size()));
    if (list == nullptr) return nullptr;
    for (size_t i = 0; i < results.size(); ++i) PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), results[i].release());
    return list;
}

}  // namespace

PyObject* loads(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    if (nargs < 1 || nargs + nkw > 2) {
        PyErr_Format(PyExc_TypeError, "loads() takes 1 positional argument and partial (%zd given)", nargs + nkw);
        return nullptr;
    }
    PyObject* partial = nargs == 2 ? args[1] : nullptr;
    if (nkw == 1) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, 0);
        if (!PyUnicode_Check(name) || PyUnicode_CompareWithASCIIString(name, "partial") != 0) {
            PyErr_Format(PyExc_TypeError, "loads() got an unexpected keyword argument '%S'", name);
            return nullptr;
        }
        partial = args[1];
    }
    Policy policy;
    if (policy_of(partial, policy) < 0) return nullptr;
    return load(module_state(module), args[0], policy);
}

PyObject* loads_many(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 3) {
        PyErr_SetString(PyExc_TypeError, "loads_many(texts, partial, null_errors)");
        return nullptr;
    }
    Policy policy;
    if (policy_of(args[1], policy) < 0) return nullptr;
    const int null = PyObject_IsTrue(args[2]);
    if (null < 0) return nullptr;
    const bool null_errors = null == 1;
    Ref rows(PySequence_Tuple(args[0]));
    if (!rows) return nullptr;
    const Py_ssize_t n = PyTuple_GET_SIZE(rows.get());
    try {
        std::vector<Ref> results;
        results.reserve(static_cast<size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* row = PyTuple_GET_ITEM(rows.get(), i);
            PyObject* value = row == Py_None ? Py_NewRef(Py_None) : load(module_state(module), row, policy);
            if (value == nullptr) {
                if (!null_errors || !clear_row_error()) return note_row(i);
                value = Py_NewRef(Py_None);
            }
            results.emplace_back(value);
        }
        return list_of(results);
    } catch (...) {
        python::raise_caught_exception();
        return nullptr;
    }
}

// The rows go a window at a time, in order. A window's rows are read holding
// the interpreter; then the calling thread and threads - 1 helpers walk its
// blocks without it, while the calling thread also allocates each walked
// block's result strs, in order, holding it only for that (only the allocation
// needs it), and copies their text in without it. A block is small enough that
// its text is still in the cache when its results are made: a pass over the
// whole batch for each step read every row from memory twice, which made a
// batch of a million 1 KB rows slower than a loop over complete. Nothing else
// sees a result before the last window is done.
PyObject* complete_many(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 3) {
        PyErr_SetString(PyExc_TypeError, "complete_many(texts, null_errors, threads)");
        return nullptr;
    }
    const int null = PyObject_IsTrue(args[1]);
    if (null < 0) return nullptr;
    const bool null_errors = null == 1;
    const long wanted = PyLong_AsLong(args[2]);
    if (wanted == -1 && PyErr_Occurred()) return nullptr;
    const unsigned most = wanted < 1 ? 1u : static_cast<unsigned>(std::min<long>(wanted, 1024));
    // One thread keeps its window in its own core's cache (from 2 KiB to 256
    // KiB measured alike); several share the last level, and each window
    // costs them a start of their threads.
    const size_t window_bytes = most == 1 ? size_t{256} << 10 : most * (size_t{4} << 20);
    RowSource source;
    if (!source.open(args[0])) return nullptr;
    try {
        std::vector<Ref> results;
        std::vector<Ref> held;  // the window's rows, whose storage the walks read
        std::vector<TextRow> texts;
        std::vector<Outcome> outcomes;
        std::vector<std::string> suffixes;
        for (size_t first = 0;;) {
            // The window's rows, read holding the interpreter, each row's header
            // just before its walk reads the text after it.
            held.clear();
            texts.clear();
            outcomes.clear();
            size_t text_bytes = 0;
            while (text_bytes < window_bytes) {
                source.prefetch(first + held.size() + 8);
                Ref taken = source.take(first + held.size());
                if (!taken) break;
                PyObject* row = taken.get();
                held.push_back(std::move(taken));
                TextRow text;
                Outcome outcome = Outcome::completed;
                if (row == Py_None) {
                    outcome = Outcome::null;
                } else if (!PyUnicode_CheckExact(row)) {
                    outcome = Outcome::wrong_type;
                } else {
                    text = TextRow{PyUnicode_DATA(row), static_cast<size_t>(PyUnicode_GET_LENGTH(row)),
                                   static_cast<int>(PyUnicode_KIND(row)), PyUnicode_IS_ASCII(row) != 0,
                                   PyUnicode_MAX_CHAR_VALUE(row)};
                    text_bytes += text.length * static_cast<size_t>(text.kind);
                }
                texts.push_back(text);
                outcomes.push_back(outcome);
            }
            const size_t count = held.size();
            if (count == 0) break;
            const size_t end = first + count;
            results.resize(end);
            suffixes.assign(count, std::string());
            const size_t block_rows = rows_per_block(count, text_bytes);
            const size_t blocks = (count + block_rows - 1) / block_rows;
            const unsigned threads = threads_for(most, count, text_bytes);
            WalkedBlocks walked(blocks);
            BlockQueue queue(blocks);
            // A block's walk, on whichever thread takes it. Under errors="raise"
            // the blocks after one with a bad row are passed over unwalked: the
            // calling thread raises before it reaches them.
            auto walk_block = [&](size_t block) noexcept {
                if (!walked.passed_over(block)) {
                    const size_t stop = std::min(count, (block + 1) * block_rows);
                    for (size_t i = block * block_rows; i < stop; ++i) {
                        if (outcomes[i] == Outcome::completed) outcomes[i] = walk_row(texts[i], suffixes[i]);
                        if (!null_errors && failed(outcomes[i])) {
                            walked.pass_over_after(block);
                            break;
                        }
                    }
                }
                walked.done(block);
            };
            auto helper = [&]() noexcept {
                for (size_t block = queue.take(); block < blocks; block = queue.take()) walk_block(block);
            };
            // The calling thread takes the blocks in order: it walks them itself
            // while the helpers have not, then allocates each block's results
            // holding the interpreter and copies their text in without it, while
            // the helpers walk the blocks ahead. So the allocation, which alone
            // needs the interpreter, overlaps the walks instead of waiting for
            // them. It stops at the first bad row to raise, or a failed
            // allocation (MemoryError set).
            size_t raise_at = count;
            bool out_of_memory = false;
            // Row i's result, allocated; false when the call must stop.
            auto allocate = [&](size_t i) noexcept {
                Ref& result = results[first + i];
                if (outcomes[i] == Outcome::completed) {
                    if (suffixes[i].empty()) {
                        result = held[i];
                        return true;
                    }
                    const auto length = static_cast<Py_ssize_t>(texts[i].length + suffixes[i].size());
                    result = Ref(PyUnicode_New(length, texts[i].max_char));
                    out_of_memory = !result;
                    return !out_of_memory;
                }
                if (outcomes[i] == Outcome::null || null_errors) {
                    result = Ref::borrow(Py_None);
                    return true;
                }
                raise_at = i;
                return false;
            };
            auto fill = [&](size_t i) noexcept {
                if (outcomes[i] == Outcome::completed && !suffixes[i].empty()) {
                    write_completion(results[first + i].get(), texts[i], suffixes[i]);
                }
            };
            auto caller = [&]() noexcept {
                for (size_t block = 0; block < blocks; ++block) {
                    const size_t start = block * block_rows;
                    const size_t stop = std::min(count, start + block_rows);
                    if (threads == 1) {
                        // Alone, each row is walked, allocated and filled in turn,
                        // holding the interpreter, while the row is still in the
                        // nearest cache: 8% quicker than a block at a time.
                        for (size_t i = start; i < stop; ++i) {
                            if (outcomes[i] == Outcome::completed) outcomes[i] = walk_row(texts[i], suffixes[i]);
                            if (!allocate(i)) return;
                            fill(i);
                        }
                        // Other Python threads may run between blocks.
                        PyEval_RestoreThread(PyEval_SaveThread());
                        continue;
                    }
                    if (!walked.is_done(block)) {
                        PyThreadState* released = PyEval_SaveThread();
                        while (!walked.is_done(block)) {
                            const size_t next = queue.take();
                            if (next < blocks) {
                                walk_block(next);
                            } else {
                                std::this_thread::yield();  // a helper is walking it: some microseconds
                            }
                        }
                        PyEval_RestoreThread(released);
                    }
                    for (size_t i = start; i < stop; ++i) {
                        if (!allocate(i)) {
                            walked.pass_over_after(0);
                            return;
                        }
                    }
                    // The copies need no interpreter; letting it go once a block
                    // also lets other Python threads run during a long batch.
                    PyThreadState* released = PyEval_SaveThread();
                    for (size_t i = start; i < stop; ++i) fill(i);
                    PyEval_RestoreThread(released);
                }
            };
            with_helpers(threads, helper, caller);
            if (out_of_memory) return nullptr;
            if (raise_at < count) {
                raise_row(held[raise_at].get(), outcomes[raise_at]);
                return note_row(static_cast<Py_ssize_t>(first + raise_at));
            }
            first = end;
        }
        held.clear();
        return list_of(results);
    } catch (...) {
        python::raise_caught_exception();
        return nullptr;
    }
}

}  // namespace carrack::batch
