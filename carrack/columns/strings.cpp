#include "carrack/columns/strings.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "carrack/rows/pool.hpp"

namespace carrack::arrow {

using batch::Outcome;

std::optional<Layout> layout_of(const char* format) {
    if (format == nullptr) return std::nullopt;
    const std::string_view f(format);
    if (f == "u") return Layout::utf8;
    if (f == "U") return Layout::large_utf8;
    if (f == "vu") return Layout::view;
    return std::nullopt;
}

const char* format_of(Layout layout) {
    switch (layout) {
        case Layout::utf8:
            return "u";
        case Layout::large_utf8:
            return "U";
        default:
            return "vu";
    }
}

// ---------------------------------------------------------------------------
// Reading
// ---------------------------------------------------------------------------

namespace {

constexpr size_t view_size = 16;
constexpr int32_t view_inline = 12;  // the longest string a view holds itself

int32_t read_i32(const uint8_t* p) {
    int32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

}  // namespace

Column::Column(Layout layout, const ArrowArray& array, const ArrowArray* parent)
    : layout_(layout), length_(array.length), offset_(array.offset) {
    constexpr int64_t most = std::numeric_limits<int64_t>::max();
    // Row numbers are computed in int64 (and, for views, times 16 in bytes):
    // a length and offset beyond that are not an array's.
    if (array.length < 0 || array.offset < 0 || array.offset > most / 16 - array.length) {
        throw malformed("a negative length or offset, or one beyond any buffer");
    }
    // validity, offsets, data; views: validity, views, data buffers..., their sizes
    if (array.buffers == nullptr || (layout == Layout::view ? array.n_buffers < 3 : array.n_buffers != 3)) {
        throw malformed("a string array with the wrong number of buffers");
    }
    if (array.null_count != 0) validity_ = static_cast<const uint8_t*>(array.buffers[0]);
    offsets_ = array.buffers[1];
    if (parent != nullptr) {
        if (parent->length < 0 || parent->offset < 0 || parent->offset > array.length - parent->length) {
            throw malformed("a struct whose rows run past its child's");
        }
        // Row i of the struct is row offset + i of its child.
        offset_ += parent->offset;
        length_ = parent->length;
        if (parent->null_count != 0 && parent->n_buffers >= 1 && parent->buffers != nullptr) {
            parent_validity_ = static_cast<const uint8_t*>(parent->buffers[0]);
            parent_offset_ = parent->offset;
        }
    }
    if (length_ > 0 && offsets_ == nullptr) throw malformed("a string array without offsets");
    if (layout == Layout::view) {
        for (int64_t i = 2; i + 1 < array.n_buffers; ++i) view_data_.push_back(static_cast<const char*>(array.buffers[i]));
        view_sizes_ = static_cast<const int64_t*>(array.buffers[array.n_buffers - 1]);
    } else {
        data_ = static_cast<const char*>(array.buffers[2]);
    }
}

template <typename Offset>
std::string_view Column::slice(const Offset* offsets, int64_t i) const {
    const Offset start = offsets[i];
    const Offset end = offsets[i + 1];
    if (start < 0 || end < start) throw malformed("offsets that run backwards");
    if (end == start) return {};
    // A data buffer may be missing only when every string is empty.
    if (data_ == nullptr) throw malformed("a string array without its data");
    return {data_ + start, static_cast<size_t>(end - start)};
}

std::string_view Column::text(int64_t row) const {
    const int64_t i = offset_ + row;
    switch (layout_) {
        case Layout::utf8:
            return slice(static_cast<const int32_t*>(offsets_), i);
        case Layout::large_utf8:
            return slice(static_cast<const int64_t*>(offsets_), i);
        default: {
            const auto* view = static_cast<const uint8_t*>(offsets_) + static_cast<size_t>(i) * view_size;
            const int32_t size = read_i32(view);
            if (size < 0) throw malformed("a string view of negative length");
            if (size <= view_inline) return {reinterpret_cast<const char*>(view + 4), static_cast<size_t>(size)};
            const int32_t index = read_i32(view + 8);
            const int32_t offset = read_i32(view + 12);
            if (index < 0 || static_cast<size_t>(index) >= view_data_.size()) throw malformed("a view into a missing buffer");
            const char* data = view_data_[static_cast<size_t>(index)];
            // The sizes buffer is what bounds a view: without it, none can be trusted.
            if (data == nullptr || view_sizes_ == nullptr || offset < 0 ||
                static_cast<int64_t>(offset) + size > view_sizes_[index]) {
                throw malformed("a view past the end of its buffer");
            }
            return {data + offset, static_cast<size_t>(size)};
        }
    }
}

size_t Column::text_bytes() const {
    if (length_ == 0) return 0;
    switch (layout_) {
        case Layout::utf8: {
            const auto* offsets = static_cast<const int32_t*>(offsets_);
            return static_cast<size_t>(std::max<int64_t>(0, int64_t{offsets[offset_ + length_]} - offsets[offset_]));
        }
        case Layout::large_utf8: {
            const auto* offsets = static_cast<const int64_t*>(offsets_);
            const int64_t first = offsets[offset_];
            const int64_t last = offsets[offset_ + length_];
            // Offsets that run backwards count as nothing: the walk refuses their rows.
            return last > first && first >= 0 ? static_cast<size_t>(last - first) : 0;
        }
        default: {
            size_t bytes = 0;
            const auto* views = static_cast<const uint8_t*>(offsets_) + static_cast<size_t>(offset_) * view_size;
            for (int64_t i = 0; i < length_; ++i) bytes += static_cast<size_t>(std::max(read_i32(views + i * view_size), 0));
            return bytes;
        }
    }
}

// ---------------------------------------------------------------------------
// Buffers
// ---------------------------------------------------------------------------

namespace {
constexpr size_t alignment = 64;
// From this size on a buffer is aligned to a huge page and asks for huge
// pages: a completed column of a gigabyte otherwise costs a quarter of a
// million page faults, which took as long as completing it.
constexpr size_t huge_page = 2 * 1024 * 1024;
constexpr size_t huge_from = 2 * huge_page;
}  // namespace

void AlignedFree::operator()(uint8_t* p) const { ::operator delete[](p, std::align_val_t(alignment)); }

Buffer::Buffer(size_t size) : size_(size) {
    const size_t align = size >= huge_from ? huge_page : alignment;
    const size_t padded = std::max<size_t>(align, (size + align - 1) / align * align);
    data_ = std::unique_ptr<uint8_t[], AlignedFree>(static_cast<uint8_t*>(::operator new[](padded, std::align_val_t(align))),
                                                   AlignedFree{align});
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (align == huge_page) madvise(data_.get(), padded, MADV_HUGEPAGE);  // advice only: failure changes nothing
#endif
    std::memset(data_.get() + size, 0, padded - size);
}

std::vector<const void*> Chunk::buffers() const {
    std::vector<const void*> pointers{validity.data(), offsets.data()};
    for (const Buffer& buffer : data) pointers.push_back(buffer.data());
    if (layout == Layout::view) pointers.push_back(data_sizes.data());
    return pointers;
}

void Chunk::widen() {
    if (layout != Layout::utf8) return;
    Buffer wide(static_cast<size_t>(length + 1) * sizeof(int64_t));
    const auto* from = reinterpret_cast<const int32_t*>(offsets.data());
    auto* to = reinterpret_cast<int64_t*>(wide.data());
    for (int64_t i = 0; i <= length; ++i) to[i] = from[i];
    offsets = std::move(wide);
    layout = Layout::large_utf8;
}

// ---------------------------------------------------------------------------
// Completing
// ---------------------------------------------------------------------------

namespace {

constexpr int64_t block_rows = 256;
// Out-of-line view data goes to buffers of at most this many bytes, so that
// every offset fits a view's int32.
constexpr int64_t view_buffer_limit = std::numeric_limits<int32_t>::max();

// Each row's text is read from the producer's buffers once, in the walk:
// every later pass sizes and copies that same view, so a producer whose
// buffers change meanwhile (another thread writing to them) gives wrong text
// but can never make a copy outgrow what was allocated for it.
struct Rows {
    std::vector<Outcome> outcomes;
    std::vector<std::string> suffixes;
    std::vector<std::string_view> texts;
};

size_t blocks_of(int64_t rows) { return static_cast<size_t>((rows + block_rows - 1) / block_rows); }

template <typename Work>
void for_rows(int64_t rows, unsigned threads, Work work) {
    batch::for_each_block(blocks_of(rows), threads, [&](size_t block) {
        const int64_t begin = static_cast<int64_t>(block) * block_rows;
        const int64_t end = std::min(rows, begin + block_rows);
        for (int64_t row = begin; row < end; ++row) work(row);
    });
}

// The walk: every row's outcome and suffix. With stop_at_failure, blocks after
// the first failure are not walked; the blocks before it always are, since
// blocks are taken in order.
void walk(const Column& column, bool stop_at_failure, unsigned threads, Rows& rows) {
    const int64_t n = column.length();
    batch::BlockQueue queue(blocks_of(n));
    auto run = [&] {
        for (size_t block = queue.take(); block < queue.blocks(); block = queue.take()) {
            const int64_t begin = static_cast<int64_t>(block) * block_rows;
            const int64_t end = std::min(n, begin + block_rows);
            for (int64_t row = begin; row < end; ++row) {
                auto& outcome = rows.outcomes[static_cast<size_t>(row)];
                if (!column.valid(row)) {
                    outcome = Outcome::null;
                    continue;
                }
                std::string_view& text = rows.texts[static_cast<size_t>(row)];
                try {
                    text = column.text(row);
                } catch (const malformed&) {
                    outcome = Outcome::wrong_type;
                    continue;
                }
                outcome = batch::complete_utf8(text, rows.suffixes[static_cast<size_t>(row)]);
                if (stop_at_failure && batch::failed(outcome)) queue.stop();
            }
        }
    };
    batch::with_helpers(threads, run, run);
}

void set_bit(uint8_t* bits, int64_t i) { bits[i >> 3] = static_cast<uint8_t>(bits[i >> 3] | (1u << (i & 7))); }

template <typename Offset>
void write_offsets(int64_t n, const Rows& rows, Chunk& out, int64_t total, unsigned threads) {
    out.offsets = Buffer(static_cast<size_t>(n + 1) * sizeof(Offset));
    auto* offsets = reinterpret_cast<Offset*>(out.offsets.data());
    Offset at = 0;
    for (int64_t row = 0; row < n; ++row) {
        offsets[row] = at;
        if (rows.outcomes[static_cast<size_t>(row)] == Outcome::completed) {
            at += static_cast<Offset>(rows.texts[static_cast<size_t>(row)].size() + rows.suffixes[static_cast<size_t>(row)].size());
        }
    }
    offsets[n] = at;
    out.data.emplace_back(static_cast<size_t>(total));
    char* data = reinterpret_cast<char*>(out.data.back().data());
    for_rows(n, threads, [&](int64_t row) {
        if (rows.outcomes[static_cast<size_t>(row)] != Outcome::completed) return;
        const std::string_view text = rows.texts[static_cast<size_t>(row)];
        const std::string& suffix = rows.suffixes[static_cast<size_t>(row)];
        char* to = data + offsets[row];
        if (!text.empty()) std::memcpy(to, text.data(), text.size());
        if (!suffix.empty()) std::memcpy(to + text.size(), suffix.data(), suffix.size());
    });
}

void write_views(int64_t n, const Rows& rows, Chunk& out, unsigned threads) {
    out.offsets = Buffer(static_cast<size_t>(n) * view_size);
    uint8_t* views = out.offsets.data();
    std::memset(views, 0, static_cast<size_t>(n) * view_size);
    // Where each long row goes, decided in order: buffer index and offset in
    // the view's own slots, the length in its first four bytes.
    std::vector<int64_t> sizes{0};
    for (int64_t row = 0; row < n; ++row) {
        if (rows.outcomes[static_cast<size_t>(row)] != Outcome::completed) continue;
        const int64_t size = static_cast<int64_t>(rows.texts[static_cast<size_t>(row)].size() + rows.suffixes[static_cast<size_t>(row)].size());
        if (size > view_buffer_limit) throw std::length_error("a completed string longer than a view can hold");
        uint8_t* view = views + row * view_size;
        const auto size32 = static_cast<int32_t>(size);
        std::memcpy(view, &size32, 4);
        if (size <= view_inline) continue;
        if (sizes.back() + size > view_buffer_limit) sizes.push_back(0);
        const auto index = static_cast<int32_t>(sizes.size() - 1);
        const auto offset = static_cast<int32_t>(sizes.back());
        std::memcpy(view + 8, &index, 4);
        std::memcpy(view + 12, &offset, 4);
        sizes.back() += size;
    }
    for (int64_t size : sizes) out.data.emplace_back(static_cast<size_t>(size));
    out.data_sizes = Buffer(sizes.size() * sizeof(int64_t));
    std::memcpy(out.data_sizes.data(), sizes.data(), sizes.size() * sizeof(int64_t));
    for_rows(n, threads, [&](int64_t row) {
        if (rows.outcomes[static_cast<size_t>(row)] != Outcome::completed) return;
        const std::string_view text = rows.texts[static_cast<size_t>(row)];
        const std::string& suffix = rows.suffixes[static_cast<size_t>(row)];
        uint8_t* view = views + row * view_size;
        const int32_t size = read_i32(view);
        uint8_t* to = view + 4;  // inline: the bytes themselves
        if (size > view_inline) {
            to = out.data[static_cast<size_t>(read_i32(view + 8))].data() + read_i32(view + 12);
        }
        if (!text.empty()) std::memcpy(to, text.data(), text.size());
        if (!suffix.empty()) std::memcpy(to + text.size(), suffix.data(), suffix.size());
        if (size > view_inline) std::memcpy(view + 4, to, 4);  // the prefix
    });
}

}  // namespace

std::optional<Failure> complete_column(const Column& column, bool null_errors, unsigned threads, Chunk& out) {
    const int64_t n = column.length();
    const size_t text_bytes = column.text_bytes();
    threads = batch::threads_for(threads, static_cast<size_t>(n), text_bytes);
    Rows rows{std::vector<Outcome>(static_cast<size_t>(n)), std::vector<std::string>(static_cast<size_t>(n)),
              std::vector<std::string_view>(static_cast<size_t>(n))};
    walk(column, !null_errors, threads, rows);

    out.length = n;
    out.null_count = 0;
    int64_t total = 0;
    for (int64_t row = 0; row < n; ++row) {
        const Outcome outcome = rows.outcomes[static_cast<size_t>(row)];
        if (outcome == Outcome::completed) {
            total += static_cast<int64_t>(rows.texts[static_cast<size_t>(row)].size() + rows.suffixes[static_cast<size_t>(row)].size());
        } else if (outcome == Outcome::null || null_errors) {
            ++out.null_count;
        } else {
            return Failure{row, outcome};
        }
    }
    if (out.null_count > 0) {
        out.validity = Buffer(static_cast<size_t>((n + 7) / 8));
        std::memset(out.validity.data(), 0, out.validity.size());
        for (int64_t row = 0; row < n; ++row) {
            if (rows.outcomes[static_cast<size_t>(row)] == Outcome::completed) set_bit(out.validity.data(), row);
        }
    }
    out.layout = column.layout();
    if (out.layout == Layout::utf8 && total > std::numeric_limits<int32_t>::max()) out.layout = Layout::large_utf8;
    switch (out.layout) {
        case Layout::utf8:
            write_offsets<int32_t>(n, rows, out, total, threads);
            break;
        case Layout::large_utf8:
            write_offsets<int64_t>(n, rows, out, total, threads);
            break;
        default:
            write_views(n, rows, out, threads);
            break;
    }
    return std::nullopt;
}

}  // namespace carrack::arrow
