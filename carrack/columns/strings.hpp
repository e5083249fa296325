// Arrow string columns completed buffer to buffer, without the interpreter:
// read in place in any of the three string layouts, written to new buffers
// that the result owns.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "carrack/columns/c_data.hpp"
#include "carrack/rows/rows.hpp"

namespace carrack::arrow {

enum class Layout : std::uint8_t {
    utf8,        // "u": int32 offsets
    large_utf8,  // "U": int64 offsets
    view,        // "vu": 16-byte views, short strings inline
};

// The layout of a format string, if it is one of the three.
std::optional<Layout> layout_of(const char* format);
const char* format_of(Layout layout);

// The producer broke the format's rules (a wrong buffer count, say).
class malformed : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// A string array read in place, possibly the one child of a struct whose
// validity also counts. It reads the producer's buffers, which must outlive it.
class Column {
public:
    // Throws malformed. parent is the struct around array, or null.
    Column(Layout layout, const ArrowArray& array, const ArrowArray* parent);

    Layout layout() const { return layout_; }
    int64_t length() const { return length_; }
    bool valid(int64_t row) const {
        if (parent_validity_ != nullptr && !bit(parent_validity_, parent_offset_ + row)) return false;
        return validity_ == nullptr || bit(validity_, offset_ + row);
    }
    // Throws malformed for a row that points outside the buffers the array
    // describes (offsets that run backwards, a view past its buffer's end).
    std::string_view text(int64_t row) const;
    // The bytes of every row's text, counted without reading them.
    size_t text_bytes() const;

private:
    static bool bit(const uint8_t* bits, int64_t i) { return (bits[i >> 3] >> (i & 7)) & 1; }
    template <typename Offset>
    std::string_view slice(const Offset* offsets, int64_t i) const;

    Layout layout_;
    int64_t length_;
    int64_t offset_;  // of row 0 in the string array's buffers
    const uint8_t* validity_ = nullptr;
    const uint8_t* parent_validity_ = nullptr;
    int64_t parent_offset_ = 0;
    const void* offsets_ = nullptr;  // int32 or int64 offsets, or the views
    const char* data_ = nullptr;     // utf8 and large_utf8
    std::vector<const char*> view_data_;
    const int64_t* view_sizes_ = nullptr;  // the size of each of view_data_, which bounds every view
};

// Frees what was allocated with this alignment.
struct AlignedFree {
    size_t alignment;
    void operator()(uint8_t* p) const;
};

// Memory aligned for any Arrow reader (64 bytes), with the padding zeroed;
// large buffers sit in huge pages where the system offers them.
class Buffer {
public:
    Buffer() = default;
    explicit Buffer(size_t size);
    uint8_t* data() const { return data_.get(); }
    size_t size() const { return size_; }

private:
    std::unique_ptr<uint8_t[], AlignedFree> data_;
    size_t size_ = 0;
};

// A completed string array, owning its buffers; immutable once made.
struct Chunk {
    Layout layout = Layout::utf8;
    int64_t length = 0;
    int64_t null_count = 0;
    Buffer validity;  // empty when nothing is null
    Buffer offsets;   // offsets, or the views
    std::vector<Buffer> data;
    Buffer data_sizes;  // views only: the int64 size of each data buffer
    // The array's buffer pointers as an export lists them.
    std::vector<const void*> buffers() const;
    // A utf8 chunk rewritten with int64 offsets.
    void widen();
};

using Chunks = std::vector<Chunk>;

// Shared ownership for what exports hand out, which consumers release from any
// thread. Not std::shared_ptr: with glibc 2.32's headers its count asks the C
// library whether the process is single-threaded, a symbol older systems lack.
template <typename T>
class Shared {
public:
    Shared() = default;
    template <typename... Args>
    static Shared make(Args&&... args) {
        Shared made;
        made.box_ = new Box{{1}, T(std::forward<Args>(args)...)};
        return made;
    }
    Shared(const Shared& other) : box_(other.box_) {
        if (box_ != nullptr) box_->refs.fetch_add(1, std::memory_order_relaxed);
    }
    Shared(Shared&& other) noexcept : box_(std::exchange(other.box_, nullptr)) {}
    Shared& operator=(Shared other) noexcept {
        std::swap(box_, other.box_);
        return *this;
    }
    ~Shared() {
        if (box_ != nullptr && box_->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete box_;
    }
    T& operator*() const { return box_->value; }
    T* operator->() const { return &box_->value; }

private:
    struct Box {
        std::atomic<size_t> refs;
        T value;
    };
    Box* box_ = nullptr;
};

struct Failure {
    int64_t row;
    batch::Outcome outcome;
};

// Completes column into out. A row that cannot be completed becomes null
// when null_errors is set; otherwise the first such row is returned and out
// is left unmade. A utf8 column whose completions outgrow int32 offsets comes
// out as large_utf8. Throws std::bad_alloc.
std::optional<Failure> complete_column(const Column& column, bool null_errors, unsigned threads, Chunk& out);

// Exports, each holding its own reference to what it reads.
void export_schema(Layout layout, const std::string& name, ArrowSchema* out);
void export_array(Shared<Chunks> chunks, size_t index, ArrowArray* out);
void export_stream(Layout layout, const std::string& name, Shared<Chunks> chunks, ArrowArrayStream* out);

}  // namespace carrack::arrow
