// WorkerPool: a small fork-safe std::thread pool, and the process-wide pool
// sized by initialize_thread_pool.
//
// A pool of N threads runs a parallel-for with the calling thread taking
// part, so it starts N - 1 background threads, lazily on the first parallel
// job that has more than one index. It never calls into Python.
//
// fork(): a pool remembers the process that started its threads. When it
// is used in another process (the child of a fork, where those threads do
// not exist and its locks may be held), it abandons the old threads and
// synchronisation state without touching them (a deliberate small leak) and
// starts fresh threads of the same count.
//
// Determinism: parallel_chunked_reduce splits an index range into chunks of
// a fixed size, independent of the thread count, folds each chunk left to
// right and joins the chunk results left to right in index order, so its
// answer is the same for every thread count.
#pragma once

#include <algorithm>
#include <cstddef>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

namespace zelk {

class WorkerPool {
public:
    // A pool of `threads` threads (0: default_thread_count()).
    explicit WorkerPool(std::size_t threads = 0);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // Number of threads that take part in a parallel job (caller included).
    std::size_t thread_count() const;

    // Changes the thread count; running threads are stopped and new ones
    // start lazily. Must not be called from inside a job.
    void resize(std::size_t threads);

    // Processors available to this process (at least 1).
    static std::size_t default_thread_count();

    // Calls body(i) exactly once for every i in [0, count) and returns when
    // all calls have finished. Calls may run concurrently on the pool's
    // threads and the caller. A call from inside a job (nested) runs
    // sequentially on its thread. The first exception thrown by a body is
    // rethrown here after every index has been handled.
    template <class Body>
    void parallel_for(std::size_t count, Body&& body) {
        using B = std::remove_reference_t<Body>;
        run(
            count, [](void* ctx, std::size_t i) { (*static_cast<B*>(ctx))(i); },
            const_cast<void*>(static_cast<const void*>(&body)));
    }

private:
    struct Shared;
    void run(std::size_t count, void (*fn)(void*, std::size_t), void* ctx);
    Shared* shared_;  // heap state; abandoned (leaked) after a fork
};

// The process-wide pool, created on first use with default_thread_count()
// threads. Never destroyed.
WorkerPool& global_worker_pool();

// Sizes the process-wide pool: when threads >= 2 and deterministic is false,
// the first such call in a process sets the pool to `threads` threads; later
// calls (any size) change nothing. Otherwise does nothing.
void initialize_thread_pool(std::size_t threads, bool deterministic);

// Deterministic map-reduce over [0, count): the range is cut into chunks of
// `chunk_size` indices (the last may be shorter); chunk c's result is
// fold(c * chunk_size, min(count, (c + 1) * chunk_size)); the answer is
// join(...join(join(identity, r_0), r_1)..., r_last), in index order.
// Chunks run in parallel on `pool`; the answer does not depend on its size.
template <class T, class Fold, class Join>
T parallel_chunked_reduce(WorkerPool& pool, std::size_t count, std::size_t chunk_size, T identity,
                          Fold&& fold, Join&& join) {
    if (count == 0) return identity;
    chunk_size = std::max<std::size_t>(chunk_size, 1);
    const std::size_t chunks = (count + chunk_size - 1) / chunk_size;
    std::vector<std::optional<T>> results(chunks);
    pool.parallel_for(chunks, [&](std::size_t c) {
        const std::size_t begin = c * chunk_size;
        const std::size_t end = std::min(count, begin + chunk_size);
        results[c].emplace(fold(begin, end));
    });
    T acc = std::move(identity);
    for (auto& r : results) acc = join(std::move(acc), std::move(*r));
    return acc;
}

}  // namespace zelk
