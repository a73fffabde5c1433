// Worker pool: sizing by initialize_thread_pool, parallel folds, fork safety.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "worker_pool.hpp"

using namespace zelk;

namespace {

// Order-sensitive, non-associative join: any change in how results are
// combined changes the answer.
std::uint64_t mix(std::uint64_t acc, std::uint64_t x) {
    return (acc * 1000003ULL) ^ (x + 0x9E37ULL);
}

std::uint64_t chunked_reference(std::size_t count, std::size_t chunk) {
    std::uint64_t acc = 17;
    for (std::size_t b = 0; b < count; b += chunk) {
        std::uint64_t c = 1;
        for (std::size_t i = b; i < std::min(count, b + chunk); ++i) c = mix(c, i * i);
        acc = mix(acc, c);
    }
    return acc;
}

std::uint64_t chunked_parallel(WorkerPool& pool, std::size_t count, std::size_t chunk) {
    return parallel_chunked_reduce(
        pool, count, chunk, std::uint64_t{17},
        [](std::size_t b, std::size_t e) {
            std::uint64_t c = 1;
            for (std::size_t i = b; i < e; ++i) c = mix(c, i * i);
            return c;
        },
        [](std::uint64_t a, std::uint64_t b) { return mix(a, b); });
}

bool every_index_once(WorkerPool& pool, std::size_t count) {
    std::vector<std::atomic<int>> hits(count);
    pool.parallel_for(count, [&](std::size_t i) { hits[i].fetch_add(1); });
    for (auto& h : hits) {
        if (h.load() != 1) return false;
    }
    return true;
}

}  // namespace

// Every index runs once whatever the pool size (also after resizing and
// across many jobs); nested jobs run inline; an exception is rethrown after
// the job and leaves the pool usable.
TEST(WorkerPool, EveryIndexOnceNestedAndAfterExceptions) {
    for (std::size_t threads : {1u, 2u, 8u}) {
        WorkerPool pool(threads);
        EXPECT_EQ(pool.thread_count(), threads);
        for (std::size_t count : {0u, 1u, 3u, 1000u}) {
            EXPECT_TRUE(every_index_once(pool, count)) << threads << " " << count;
        }
    }
    WorkerPool pool(4);
    std::atomic<std::uint64_t> sum{0};
    for (int job = 0; job < 200; ++job) {
        pool.parallel_for(7, [&](std::size_t i) { sum.fetch_add(i); });
    }
    EXPECT_EQ(sum.load(), 200u * 21u);
    std::vector<std::atomic<int>> hits(64);
    pool.parallel_for(8, [&](std::size_t i) {
        pool.parallel_for(8, [&](std::size_t j) { hits[i * 8 + j].fetch_add(1); });
    });
    for (auto& h : hits) EXPECT_EQ(h.load(), 1);
    std::atomic<int> done{0};
    EXPECT_THROW(pool.parallel_for(100,
                                   [&](std::size_t i) {
                                       if (i == 37) throw std::runtime_error("boom");
                                       done.fetch_add(1);
                                   }),
                 std::runtime_error);
    EXPECT_EQ(done.load(), 99);
    pool.resize(3);
    EXPECT_EQ(pool.thread_count(), 3u);
    EXPECT_TRUE(every_index_once(pool, 1000));
    pool.resize(0);
    EXPECT_EQ(pool.thread_count(), WorkerPool::default_thread_count());
    EXPECT_TRUE(every_index_once(pool, 1000));
    EXPECT_EQ(WorkerPool().thread_count(), WorkerPool::default_thread_count());
}

TEST(WorkerPool, ChunkedReduceIsThreadCountIndependent) {
    for (std::size_t count : {0u, 1u, 5u, 1000u, 4097u}) {
        for (std::size_t chunk : {1u, 7u, 1024u}) {
            const std::uint64_t expect = chunked_reference(count, chunk);
            for (std::size_t threads : {1u, 2u, 3u, 8u}) {
                WorkerPool pool(threads);
                EXPECT_EQ(chunked_parallel(pool, count, chunk), expect)
                    << count << " " << chunk << " " << threads;
            }
        }
    }
}

// initialize_thread_pool acts on process-wide state, so it is tested in a
// fresh process (the threadsafe death-test style re-executes the binary).
TEST(WorkerPoolDeathTest, InitializeThreadPoolSizesOnce) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            const std::size_t def = WorkerPool::default_thread_count();
            bool ok = global_worker_pool().thread_count() == def;
            initialize_thread_pool(1, false);  // threads < 2: nothing
            initialize_thread_pool(6, true);   // deterministic: nothing
            ok = ok && global_worker_pool().thread_count() == def;
            initialize_thread_pool(4, false);  // first sizing
            ok = ok && global_worker_pool().thread_count() == 4;
            initialize_thread_pool(2, false);  // later sizes are ignored
            ok = ok && global_worker_pool().thread_count() == 4;
            ok = ok && every_index_once(global_worker_pool(), 1000);
            std::exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(WorkerPool, SurvivesFork) {
    WorkerPool local(4);
    // Start the threads of both pools in the parent.
    ASSERT_TRUE(every_index_once(local, 1000));
    ASSERT_TRUE(every_index_once(global_worker_pool(), 1000));
    const std::uint64_t expect = chunked_reference(5000, 64);
    const pid_t pid = fork();
    ASSERT_NE(pid, -1);
    if (pid == 0) {
        alarm(30);  // a hang (waiting for the parent's threads) fails the test
        bool ok = every_index_once(local, 1000) && every_index_once(global_worker_pool(), 1000) &&
                  chunked_parallel(local, 5000, 64) == expect &&
                  chunked_parallel(global_worker_pool(), 5000, 64) == expect;
        // A grandchild as well.
        const pid_t inner = fork();
        if (inner == 0) {
            alarm(30);
            _exit(every_index_once(local, 100) && every_index_once(global_worker_pool(), 100) ? 0
                                                                                              : 1);
        }
        int inner_status = 0;
        waitpid(inner, &inner_status, 0);
        ok = ok && WIFEXITED(inner_status) && WEXITSTATUS(inner_status) == 0;
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "child killed by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    // The parent's pools are unaffected.
    EXPECT_TRUE(every_index_once(local, 1000));
    EXPECT_EQ(chunked_parallel(global_worker_pool(), 5000, 64), expect);
}
