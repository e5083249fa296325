// Work spread over a few native threads for the length of one call. Threads
// are started per call: a batch worth spreading takes milliseconds, against
// some 20 us to start a thread.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <memory>
#include <system_error>
#include <thread>
#include <vector>

namespace carrack::batch {

// Blocks [0, blocks) handed out in order, each to exactly one taker.
class BlockQueue {
public:
    explicit BlockQueue(size_t blocks) : blocks_(blocks) {}
    // The next block, or blocks() when none is left.
    size_t take() {
        const size_t block = next_.fetch_add(1, std::memory_order_relaxed);
        return std::min(block, blocks_);
    }
    // No block is handed out from now on.
    void stop() { next_.store(blocks_, std::memory_order_relaxed); }
    size_t blocks() const { return blocks_; }

private:
    std::atomic<size_t> next_{0};
    size_t blocks_;
};

// Which blocks are walked, for a thread that waits on them in order. Under
// errors="raise" a bad row's block makes those after it passed over: they are
// marked done without a walk, since nothing after the first bad row is used.
class WalkedBlocks {
public:
    explicit WalkedBlocks(size_t blocks)
        : done_(std::make_unique<std::atomic<bool>[]>(blocks)), passed_over_after_(blocks) {}
    void done(size_t block) { done_[block].store(true, std::memory_order_release); }
    // Acquires what the block's walk wrote.
    bool is_done(size_t block) const { return done_[block].load(std::memory_order_acquire); }
    void pass_over_after(size_t block) {
        size_t seen = passed_over_after_.load(std::memory_order_relaxed);
        while (block < seen && !passed_over_after_.compare_exchange_weak(seen, block, std::memory_order_relaxed)) {
        }
    }
    bool passed_over(size_t block) const { return block > passed_over_after_.load(std::memory_order_relaxed); }

private:
    std::unique_ptr<std::atomic<bool>[]> done_;
    std::atomic<size_t> passed_over_after_;
};

// Runs helper() on threads - 1 new threads and then caller() on the calling
// thread, and waits for the helpers. A thread that cannot be started is
// simply not there: the others take its share. Neither function may throw.
template <typename Helper, typename Caller>
void with_helpers(unsigned threads, Helper helper, Caller caller) {
    std::vector<std::thread> helpers;
    try {
        helpers.reserve(threads > 0 ? threads - 1 : 0);
        for (unsigned i = 1; i < threads; ++i) helpers.emplace_back(helper);
    } catch (const std::system_error&) {
    } catch (const std::bad_alloc&) {
    }
    caller();
    for (std::thread& thread : helpers) thread.join();
}

// Runs work(block) for every block, on up to threads threads.
template <typename Work>
void for_each_block(size_t blocks, unsigned threads, Work work) {
    BlockQueue queue(blocks);
    auto run = [&] {
        for (size_t block = queue.take(); block < blocks; block = queue.take()) work(block);
    };
    with_helpers(threads, run, run);
}

// How many threads a batch of this much text is worth: one per 64 KiB, and
// never more than the rows, so that a small batch never pays for threads.
inline unsigned threads_for(unsigned wanted, size_t rows, size_t text_bytes) {
    const size_t worth = 1 + text_bytes / (64 * 1024);
    return static_cast<unsigned>(std::max<size_t>(1, std::min({static_cast<size_t>(wanted), rows, worth})));
}

}  // namespace carrack::batch
