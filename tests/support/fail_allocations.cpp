// The global operator new with a switch that makes the n-th allocation from
// now fail, for tests that drive every C++ allocation failure on purpose.
// Preloaded (LD_PRELOAD) into a test's interpreter, it serves every C++
// allocation of the process, libstdc++'s own included, so that growing a
// std::string fails as surely as growing a std::vector. Never built into the
// package.
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace {

std::atomic<long> countdown{0};  // allocations until the one that fails; 0: none fails
std::atomic<bool> fired{false};

bool fail_now() {
    if (countdown.load(std::memory_order_relaxed) <= 0) return false;
    if (countdown.fetch_sub(1, std::memory_order_relaxed) != 1) return false;
    fired.store(true, std::memory_order_relaxed);
    return true;
}

void* allocate(std::size_t size, std::size_t alignment = 0) {
    if (fail_now()) return nullptr;
    if (size == 0) size = 1;
    if (alignment <= alignof(std::max_align_t)) return std::malloc(size);
    void* block = nullptr;
    return posix_memalign(&block, alignment, size) == 0 ? block : nullptr;
}

void* allocate_or_throw(std::size_t size, std::size_t alignment = 0) {
    void* block = allocate(size, alignment);
    if (block == nullptr) throw std::bad_alloc();
    return block;
}

}  // namespace

extern "C" {

// The n-th allocation from now fails (n > 0), once; 0 disarms.
__attribute__((visibility("default"))) void carrack_fail_allocation(long n) {
    fired.store(false, std::memory_order_relaxed);
    countdown.store(n, std::memory_order_relaxed);
}

// Whether the armed failure happened; disarms.
__attribute__((visibility("default"))) int carrack_allocation_failed() {
    countdown.store(0, std::memory_order_relaxed);
    return fired.load(std::memory_order_relaxed) ? 1 : 0;
}

}  // extern "C"

void* operator new(std::size_t size) { return allocate_or_throw(size); }
void* operator new[](std::size_t size) { return allocate_or_throw(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new(std::size_t size, std::align_val_t alignment) {
    return allocate_or_throw(size, static_cast<std::size_t>(alignment));
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
    return allocate_or_throw(size, static_cast<std::size_t>(alignment));
}
void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    return allocate(size, static_cast<std::size_t>(alignment));
}
void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    return allocate(size, static_cast<std::size_t>(alignment));
}

void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete(void* block, std::align_val_t) noexcept { std::free(block); }
void operator delete[](void* block, std::align_val_t) noexcept { std::free(block); }
void operator delete(void* block, std::size_t, std::align_val_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t, std::align_val_t) noexcept { std::free(block); }
void operator delete(void* block, std::align_val_t, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, std::align_val_t, const std::nothrow_t&) noexcept { std::free(block); }
