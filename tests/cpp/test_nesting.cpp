// Deep nesting: never a stack overflow, on any thread; too deep is a clear error.
#include <gtest/gtest.h>
#include <pthread.h>

#include <exception>
#include <functional>
#include <string>
#include <thread>

#include "walk.hpp"

namespace carrack {
namespace {

// Runs work on a new thread with the given stack size and rethrows its exception.
void on_thread_with_stack(size_t stack_bytes, const std::function<void()>& work) {
    struct Job {
        const std::function<void()>* work;
        std::exception_ptr error;
    } job{&work, nullptr};
    pthread_attr_t attr;
    ASSERT_EQ(pthread_attr_init(&attr), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attr, stack_bytes), 0);
    pthread_t thread;
    auto run = [](void* arg) -> void* {
        auto* j = static_cast<Job*>(arg);
        try {
            (*j->work)();
        } catch (...) {
            j->error = std::current_exception();
        }
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&thread, &attr, run, &job), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
    if (job.error) std::rethrow_exception(job.error);
}

std::string repeat(const std::string& unit, size_t times) {
    std::string s;
    s.reserve(unit.size() * times);
    for (size_t i = 0; i < times; ++i) s += unit;
    return s;
}

struct Nest {
    const char* name;
    std::string open;      // one level
    std::string complete;  // what closes one level when the text ends inside the innermost
};
const Nest arrays{"arrays", "[", "]"};
const Nest objects{"objects", "{\"a\":", "}"};

// levels deep, ending inside the innermost container: completes to null and closes all.
void expect_completes(const Nest& nest, size_t levels) {
    const std::string prefix = repeat(nest.open, levels);
    const std::string inner = nest.open == "[" ? "" : "null";
    EXPECT_EQ(carrack_cpp(prefix), prefix + inner + repeat(nest.complete, levels));
}

// The stack of open brackets is on the heap: the deepest level served completes
// on any thread, even one with a 256 KiB stack.
TEST(Nesting, DeepestServedLevelCompletesOnEveryThread) {
    for (const Nest* nest : {&arrays, &objects}) {
        SCOPED_TRACE(nest->name);
        expect_completes(*nest, max_nesting_depth);
        std::thread([&] { expect_completes(*nest, max_nesting_depth); }).join();
        on_thread_with_stack(256 * 1024, [&] { expect_completes(*nest, max_nesting_depth); });
    }
}

TEST(Nesting, OneLevelMoreIsRefusedAsRuntimeErrorAndLeavesNoState) {
    for (const Nest* nest : {&arrays, &objects}) {
        SCOPED_TRACE(nest->name);
        try {
            carrack_cpp(repeat(nest->open, max_nesting_depth + 1));
            ADD_FAILURE() << "accepted";
        } catch (const std::runtime_error& e) {
            EXPECT_NE(dynamic_cast<const nesting_too_deep*>(&e), nullptr);
            EXPECT_NE(std::string(e.what()).find("too deep"), std::string::npos);
        }
        EXPECT_EQ(carrack_cpp("[[1"), "[[1]]");
    }
}

// The node walk recurses; its guard must throw, never overflow, on a small stack.
TEST(Nesting, NodeWalkGuardsItsStack) {
    for (size_t stack : {size_t{256} * 1024, size_t{8} * 1024 * 1024}) {
        SCOPED_TRACE(stack);
        on_thread_with_stack(stack, [] {
            EXPECT_THROW(testing::literal_complete(repeat("[", 1'000'000)), nesting_too_deep);
            EXPECT_THROW(testing::literal_complete(repeat("{\"a\":", 1'000'000)), nesting_too_deep);
            EXPECT_EQ(testing::literal_complete("[[1"), "[[1]]");  // still usable afterwards
        });
    }
}

// How deep the node walk gets on a given stack: logged, and at least 200 levels on
// 256 KiB in a plain build (sanitizers make every frame several times larger).
size_t node_walk_levels(size_t stack_bytes) {
    size_t reached = 0;
    on_thread_with_stack(stack_bytes, [&] {
        size_t low = 1, high = 1'000'000;
        while (low < high) {
            const size_t mid = (low + high + 1) / 2;
            try {
                testing::literal_complete(repeat("[", mid));
                low = mid;
            } catch (const nesting_too_deep&) {
                high = mid - 1;
            }
        }
        reached = low;
    });
    return reached;
}

TEST(Nesting, NodeWalkDepthPerStackSize) {
    const size_t small = node_walk_levels(256 * 1024);
    const size_t large = node_walk_levels(8 * 1024 * 1024);
    std::cout << "node walk levels: 256 KiB stack " << small << ", 8 MiB stack " << large << "\n";
#if defined(__SANITIZE_ADDRESS__)
    EXPECT_GE(small, 50u);
#else
    EXPECT_GE(small, 200u);
#endif
    EXPECT_GT(large, small);
}

}  // namespace
}  // namespace carrack
