// Completed chunks handed out through the C data and stream interfaces. Each
// export holds its own reference to the chunks, so a consumer may keep an
// array after the stream and the Python object that made it are gone.
#include <cerrno>
#include <new>

#include "carrack/columns/strings.hpp"

namespace carrack::arrow {

namespace {

struct SchemaData {
    std::string name;
};

void release_schema(ArrowSchema* schema) {
    delete static_cast<SchemaData*>(schema->private_data);
    schema->release = nullptr;
}

struct ArrayData {
    Shared<Chunks> chunks;
    size_t index;
    std::vector<const void*> buffers;
};

void release_array(ArrowArray* array) {
    delete static_cast<ArrayData*>(array->private_data);
    array->release = nullptr;
}

struct StreamData {
    Layout layout;
    std::string name;
    Shared<Chunks> chunks;
    size_t next = 0;
};

StreamData& stream_data(ArrowArrayStream* stream) { return *static_cast<StreamData*>(stream->private_data); }

int stream_get_schema(ArrowArrayStream* stream, ArrowSchema* out) {
    try {
        export_schema(stream_data(stream).layout, stream_data(stream).name, out);
        return 0;
    } catch (const std::bad_alloc&) {
        return ENOMEM;
    }
}

int stream_get_next(ArrowArrayStream* stream, ArrowArray* out) {
    StreamData& data = stream_data(stream);
    if (data.next == data.chunks->size()) {
        out->release = nullptr;  // the end of the stream
        return 0;
    }
    try {
        export_array(data.chunks, data.next, out);
    } catch (const std::bad_alloc&) {
        return ENOMEM;
    }
    ++data.next;
    return 0;
}

const char* stream_get_last_error(ArrowArrayStream*) { return "out of memory"; }

void release_stream(ArrowArrayStream* stream) {
    delete static_cast<StreamData*>(stream->private_data);
    stream->release = nullptr;
}

}  // namespace

void export_schema(Layout layout, const std::string& name, ArrowSchema* out) {
    auto* data = new SchemaData{name};
    *out = ArrowSchema{};
    out->format = format_of(layout);
    out->name = data->name.c_str();
    out->metadata = nullptr;
    out->flags = ARROW_FLAG_NULLABLE;
    out->n_children = 0;
    out->children = nullptr;
    out->dictionary = nullptr;
    out->release = release_schema;
    out->private_data = data;
}

void export_array(Shared<Chunks> chunks, size_t index, ArrowArray* out) {
    auto* data = new ArrayData{std::move(chunks), index, {}};
    const Chunk& chunk = (*data->chunks)[index];
    try {
        data->buffers = chunk.buffers();
    } catch (...) {
        delete data;
        throw;
    }
    *out = ArrowArray{};
    out->length = chunk.length;
    out->null_count = chunk.null_count;
    out->offset = 0;
    out->n_buffers = static_cast<int64_t>(data->buffers.size());
    out->n_children = 0;
    out->buffers = data->buffers.data();
    out->children = nullptr;
    out->dictionary = nullptr;
    out->release = release_array;
    out->private_data = data;
}

void export_stream(Layout layout, const std::string& name, Shared<Chunks> chunks, ArrowArrayStream* out) {
    auto* data = new StreamData{layout, name, std::move(chunks)};
    *out = ArrowArrayStream{};
    out->get_schema = stream_get_schema;
    out->get_next = stream_get_next;
    out->get_last_error = stream_get_last_error;
    out->release = release_stream;
    out->private_data = data;
}

}  // namespace carrack::arrow
