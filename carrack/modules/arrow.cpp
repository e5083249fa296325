// The Arrow path: string columns read from the producer's buffers and
// completed into buffers of carrack's own with the interpreter released, so
// that no row ever becomes a Python str. Calls into the producer (the
// stream's callbacks and every release) are made holding the interpreter,
// since a producer written in Python may need it.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "carrack/columns/strings.hpp"
#include "carrack/modules/batch_module.hpp"
#include "carrack/python/pyref.hpp"
#include "carrack/python/python_support.hpp"

namespace carrack::batch {

namespace {

using arrow::Chunk;
using arrow::Column;
using arrow::Layout;
using arrow::Chunks;
using arrow::Shared;

constexpr char schema_name[] = "arrow_schema";
constexpr char array_name[] = "arrow_array";
constexpr char stream_name[] = "arrow_array_stream";

// ---------------------------------------------------------------------------
// The completed strings: carrack.arrow.Array and ChunkedArray hold one
// ---------------------------------------------------------------------------

struct Result {
    Layout layout;
    std::string name;
    Shared<Chunks> chunks;
    int64_t length = 0;
    int64_t null_count = 0;
};

struct StringsObject {
    PyObject_HEAD
    Result* result;
};

Result& result_of(PyObject* self) { return *reinterpret_cast<StringsObject*>(self)->result; }

void strings_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<StringsObject*>(self)->result;
    type->tp_free(self);
    Py_DECREF(type);
}

void schema_capsule_free(PyObject* capsule) {
    auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, schema_name));
    if (schema == nullptr) return;
    if (schema->release != nullptr) schema->release(schema);
    delete schema;
}

void array_capsule_free(PyObject* capsule) {
    auto* array = static_cast<ArrowArray*>(PyCapsule_GetPointer(capsule, array_name));
    if (array == nullptr) return;
    if (array->release != nullptr) array->release(array);
    delete array;
}

void stream_capsule_free(PyObject* capsule) {
    auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, stream_name));
    if (stream == nullptr) return;
    if (stream->release != nullptr) stream->release(stream);
    delete stream;
}

// A capsule owning a struct that export() fills; the capsule releases it.
template <typename Struct, typename Export>
PyObject* capsule(const char* name, PyCapsule_Destructor destructor, Export export_into) {
    try {
        auto owned = std::make_unique<Struct>();
        owned->release = nullptr;
        export_into(owned.get());
        PyObject* made = PyCapsule_New(owned.get(), name, destructor);
        if (made != nullptr) owned.release();
        else owned->release(owned.get());
        return made;
    } catch (...) {
        python::raise_caught_exception();
        return nullptr;
    }
}

PyObject* schema_capsule(const Result& result) {
    return capsule<ArrowSchema>(schema_name, schema_capsule_free,
                                [&](ArrowSchema* out) { arrow::export_schema(result.layout, result.name, out); });
}

// (schema, array) capsules of the one chunk.
PyObject* strings_export_array(PyObject* self, PyObject*) {
    const Result& result = result_of(self);
    if (result.chunks->size() != 1) {
        PyErr_SetString(PyExc_ValueError, "completed strings of several chunks export only as a stream");
        return nullptr;
    }
    python::Ref schema(schema_capsule(result));
    if (!schema) return nullptr;
    python::Ref array(capsule<ArrowArray>(array_name, array_capsule_free, [&](ArrowArray* out) {
        arrow::export_array(result.chunks, 0, out);
    }));
    if (!array) return nullptr;
    return PyTuple_Pack(2, schema.get(), array.get());
}

PyObject* strings_export_stream(PyObject* self, PyObject*) {
    const Result& result = result_of(self);
    return capsule<ArrowArrayStream>(stream_name, stream_capsule_free, [&](ArrowArrayStream* out) {
        arrow::export_stream(result.layout, result.name, result.chunks, out);
    });
}

PyObject* strings_length(PyObject* self, void*) { return PyLong_FromLongLong(result_of(self).length); }
PyObject* strings_null_count(PyObject* self, void*) { return PyLong_FromLongLong(result_of(self).null_count); }
PyObject* strings_chunks(PyObject* self, void*) { return PyLong_FromSize_t(result_of(self).chunks->size()); }
PyObject* strings_format(PyObject* self, void*) { return PyUnicode_FromString(arrow::format_of(result_of(self).layout)); }

PyMethodDef strings_methods[] = {
    {"export_array", strings_export_array, METH_NOARGS, "(schema, array) capsules of the one chunk."},
    {"export_stream", strings_export_stream, METH_NOARGS, "A stream capsule of every chunk."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef strings_getset[] = {
    {"length", strings_length, nullptr, "Rows in all chunks.", nullptr},
    {"null_count", strings_null_count, nullptr, "Null rows in all chunks.", nullptr},
    {"chunks", strings_chunks, nullptr, "The number of chunks.", nullptr},
    {"format", strings_format, nullptr, "The Arrow format string: 'u', 'U' or 'vu'.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot strings_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(strings_dealloc)},
    {Py_tp_methods, strings_methods},
    {Py_tp_getset, strings_getset},
    {Py_tp_doc, const_cast<char*>("Completed Arrow strings, in buffers of their own; immutable.")},
    {0, nullptr},
};

// ---------------------------------------------------------------------------
// Reading the producer's arrays
// ---------------------------------------------------------------------------

// The string layout of a schema: a string type, or a struct of one string field.
struct Shape {
    Layout layout;
    bool in_struct;
    std::string name;
};

std::optional<Shape> shape_of(const ArrowSchema& schema) {
    if (auto layout = arrow::layout_of(schema.format)) return Shape{*layout, false, schema.name ? schema.name : ""};
    if (schema.format != nullptr && std::string_view(schema.format) == "+s" && schema.n_children == 1 &&
        schema.children != nullptr && schema.children[0] != nullptr) {
        const ArrowSchema& child = *schema.children[0];
        if (auto layout = arrow::layout_of(child.format)) return Shape{*layout, true, child.name ? child.name : ""};
    }
    PyErr_Format(PyExc_TypeError,
                 "carrack.arrow.complete takes an array of string, large_string or string_view (or a struct of one "
                 "such field), not Arrow format '%.50s'",
                 schema.format != nullptr ? schema.format : "");
    return std::nullopt;
}

// Completes one array of the given shape into chunk; rows are numbered from
// first_row. Returns false with an exception set.
bool complete_array(const Shape& shape, const ArrowArray& array, bool null_errors, unsigned threads, int64_t first_row,
                    Chunk& chunk) {
    const ArrowArray* strings = &array;
    const ArrowArray* parent = nullptr;
    if (shape.in_struct) {
        if (array.n_children != 1 || array.children == nullptr || array.children[0] == nullptr) {
            PyErr_SetString(PyExc_ValueError, "malformed Arrow array: a struct array without its one child");
            return false;
        }
        strings = array.children[0];
        parent = &array;
    }
    try {
        const Column column(shape.layout, *strings, parent);
        std::optional<arrow::Failure> failure;
        PyThreadState* released = PyEval_SaveThread();
        try {
            failure = arrow::complete_column(column, null_errors, threads, chunk);
        } catch (...) {
            PyEval_RestoreThread(released);
            throw;
        }
        PyEval_RestoreThread(released);
        if (failure) {
            // The walker's own exception, from a second walk of the row.
            if (failure->outcome == Outcome::out_of_memory) {
                PyErr_NoMemory();
            } else if (failure->outcome == Outcome::wrong_type) {
                // The row's own fault, read again.
                std::string why = "a row outside its buffers";
                try {
                    (void)column.text(failure->row);
                } catch (const arrow::malformed& error) {
                    why = error.what();
                }
                PyErr_Format(PyExc_ValueError, "malformed Arrow array: %s", why.c_str());
            } else {
                try {
                    Walker walker;
                    walker.feed_utf8(column.text(failure->row));
                    walker.check();
                    PyErr_SetString(PyExc_SystemError, "a failed row completed on a second walk");
                } catch (...) {
                    python::raise_caught_exception();
                }
            }
            note_row(static_cast<Py_ssize_t>(first_row + failure->row));
            return false;
        }
        return true;
    } catch (const arrow::malformed& error) {
        PyErr_Format(PyExc_ValueError, "malformed Arrow array: %s", error.what());
        return false;
    } catch (...) {
        python::raise_caught_exception();
        return false;
    }
}

PyObject* make_result(PyObject* module, Result result) {
    PyTypeObject* type = module_state(module).strings;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    try {
        reinterpret_cast<StringsObject*>(self)->result = new Result(std::move(result));
    } catch (...) {
        Py_DECREF(self);
        python::raise_caught_exception();
        return nullptr;
    }
    return self;
}

// The chunks in one layout: int32 offsets widened wherever one chunk outgrew them.
void agree(Result& result) {
    for (const Chunk& chunk : *result.chunks) {
        if (chunk.layout == Layout::large_utf8) result.layout = Layout::large_utf8;
    }
    for (Chunk& chunk : *result.chunks) {
        if (chunk.layout != result.layout) chunk.widen();
        result.length += chunk.length;
        result.null_count += chunk.null_count;
    }
}

bool parse(PyObject* const* args, Py_ssize_t nargs, Py_ssize_t expected, bool& null_errors, unsigned& threads) {
    if (nargs != expected) {
        PyErr_SetString(PyExc_TypeError, "wrong number of arguments");
        return false;
    }
    const int null = PyObject_IsTrue(args[expected - 2]);
    if (null < 0) return false;
    null_errors = null == 1;
    const long wanted = PyLong_AsLong(args[expected - 1]);
    if (wanted == -1 && PyErr_Occurred()) return false;
    threads = wanted < 1 ? 1u : static_cast<unsigned>(wanted);
    return true;
}

// Releases an array or schema the stream handed over, when the scope ends. A
// producer's release may run Python code, so an exception being raised is set
// aside meanwhile.
template <typename Struct>
struct Released {
    Struct value{};
    ~Released() {
        if (value.release == nullptr) return;
        PyObject *type = nullptr, *error = nullptr, *traceback = nullptr;
        PyErr_Fetch(&type, &error, &traceback);
        value.release(&value);
        PyErr_Restore(type, error, traceback);
    }
};

}  // namespace

PyType_Spec strings_spec = {
    "carrack._batch.Strings",
    sizeof(StringsObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    strings_slots,
};

PyObject* arrow_complete_array(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    bool null_errors = false;
    unsigned threads = 1;
    if (!parse(args, nargs, 4, null_errors, threads)) return nullptr;
    auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(args[0], schema_name));
    if (schema == nullptr) return nullptr;
    auto* array = static_cast<ArrowArray*>(PyCapsule_GetPointer(args[1], array_name));
    if (array == nullptr) return nullptr;
    if (schema->release == nullptr || array->release == nullptr) {
        PyErr_SetString(PyExc_ValueError, "the Arrow array was already released by its producer or another consumer");
        return nullptr;
    }
    const std::optional<Shape> shape = shape_of(*schema);
    if (!shape) return nullptr;
    try {
        Chunk chunk;
        if (!complete_array(*shape, *array, null_errors, threads, 0, chunk)) return nullptr;
        Result result{chunk.layout, shape->name, Shared<Chunks>::make()};
        result.chunks->push_back(std::move(chunk));
        agree(result);
        return make_result(module, std::move(result));
    } catch (...) {
        python::raise_caught_exception();
        return nullptr;
    }
}

PyObject* arrow_complete_stream(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    bool null_errors = false;
    unsigned threads = 1;
    if (!parse(args, nargs, 3, null_errors, threads)) return nullptr;
    auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(args[0], stream_name));
    if (stream == nullptr) return nullptr;
    if (stream->release == nullptr) {
        PyErr_SetString(PyExc_ValueError, "the Arrow stream was already released by its producer or another consumer");
        return nullptr;
    }
    if (stream->get_schema == nullptr || stream->get_next == nullptr) {
        PyErr_SetString(PyExc_ValueError, "malformed Arrow stream: a stream without its callbacks");
        return nullptr;
    }
    auto failed = [&](int code) {
        const char* message = stream->get_last_error != nullptr ? stream->get_last_error(stream) : nullptr;
        PyErr_Format(PyExc_OSError, "the Arrow stream failed (error %d): %s", code,
                     message != nullptr ? message : "no message");
        return nullptr;
    };
    Released<ArrowSchema> schema;
    if (int code = stream->get_schema(stream, &schema.value)) {
        schema.value.release = nullptr;  // what a failed call left there is not the caller's to release
        return failed(code);
    }
    const std::optional<Shape> shape = shape_of(schema.value);
    if (!shape) return nullptr;
    try {
        Result result{shape->layout, shape->name, Shared<Chunks>::make()};
        int64_t rows = 0;
        for (;;) {
            Released<ArrowArray> array;
            if (int code = stream->get_next(stream, &array.value)) {
                array.value.release = nullptr;
                return failed(code);
            }
            if (array.value.release == nullptr) break;  // the end
            Chunk chunk;
            if (!complete_array(*shape, array.value, null_errors, threads, rows, chunk)) return nullptr;
            rows += chunk.length;
            result.chunks->push_back(std::move(chunk));
        }
        agree(result);
        return make_result(module, std::move(result));
    } catch (...) {
        python::raise_caught_exception();
        return nullptr;
    }
}

}  // namespace carrack::batch
