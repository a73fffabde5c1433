#include "worker_pool.hpp"

#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>

namespace zelk {

namespace {

// True on a thread while it runs a job's bodies; nested jobs run inline.
thread_local bool tls_in_job = false;

}  // namespace

struct WorkerPool::Shared {
    explicit Shared(std::size_t n) : thread_count(n) {}

    std::size_t thread_count;
    pid_t owner_pid = 0;  // process whose threads these are (0: none started)
    std::mutex submit;    // one job at a time
    std::mutex m;         // guards the fields below
    std::condition_variable work_cv;
    std::condition_variable done_cv;
    std::vector<std::thread> threads;
    bool stop = false;
    std::uint64_t generation = 0;
    void (*fn)(void*, std::size_t) = nullptr;  // null: no job open to join
    void* ctx = nullptr;
    std::size_t count = 0;
    std::atomic<std::size_t> next{0};
    std::size_t active = 0;
    std::exception_ptr error;

    void drain(void (*f)(void*, std::size_t), void* c, std::size_t n) {
        const bool was = tls_in_job;
        tls_in_job = true;
        for (;;) {
            const std::size_t i = next.fetch_add(1, std::memory_order_relaxed);
            if (i >= n) break;
            try {
                f(c, i);
            } catch (...) {
                std::lock_guard<std::mutex> lk(m);
                if (!error) error = std::current_exception();
            }
        }
        tls_in_job = was;
    }

    static void worker_main(Shared* s) {
        std::uint64_t seen = 0;
        std::unique_lock<std::mutex> lk(s->m);
        for (;;) {
            s->work_cv.wait(lk,
                            [&] { return s->stop || (s->fn != nullptr && s->generation != seen); });
            if (s->stop) return;
            seen = s->generation;
            auto* f = s->fn;
            void* c = s->ctx;
            const std::size_t n = s->count;
            ++s->active;
            lk.unlock();
            s->drain(f, c, n);
            lk.lock();
            if (--s->active == 0) s->done_cv.notify_all();
        }
    }

    // Caller holds `submit`.
    void start_threads() {
        owner_pid = getpid();
        stop = false;
        threads.reserve(thread_count - 1);
        for (std::size_t i = 0; i + 1 < thread_count; ++i) threads.emplace_back(worker_main, this);
    }

    // Caller holds `submit`; only in the owning process.
    void stop_threads() {
        {
            std::lock_guard<std::mutex> lk(m);
            stop = true;
        }
        work_cv.notify_all();
        for (auto& t : threads) t.join();
        threads.clear();
        owner_pid = 0;
    }
};

std::size_t WorkerPool::default_thread_count() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        const int c = CPU_COUNT(&set);
        if (c > 0) return static_cast<std::size_t>(c);
    }
    const unsigned hc = std::thread::hardware_concurrency();
    return hc > 0 ? hc : 1;
}

WorkerPool::WorkerPool(std::size_t threads)
    : shared_(new Shared(threads == 0 ? default_thread_count() : threads)) {}

WorkerPool::~WorkerPool() {
    if (shared_->owner_pid != 0 && shared_->owner_pid != getpid()) return;  // leak after fork
    {
        std::lock_guard<std::mutex> lk(shared_->submit);
        if (!shared_->threads.empty()) shared_->stop_threads();
    }
    delete shared_;
}

std::size_t WorkerPool::thread_count() const { return shared_->thread_count; }

void WorkerPool::resize(std::size_t threads) {
    if (threads == 0) threads = default_thread_count();
    if (shared_->owner_pid != 0 && shared_->owner_pid != getpid()) {
        shared_ = new Shared(threads);  // abandon the parent's state
        return;
    }
    std::lock_guard<std::mutex> lk(shared_->submit);
    if (shared_->thread_count == threads) return;
    if (!shared_->threads.empty()) shared_->stop_threads();
    shared_->thread_count = threads;
}

void WorkerPool::run(std::size_t count, void (*fn)(void*, std::size_t), void* ctx) {
    if (count == 0) return;
    if (tls_in_job || count == 1 || shared_->thread_count <= 1) {
        const bool was = tls_in_job;
        tls_in_job = true;
        struct Restore {
            bool v;
            ~Restore() { tls_in_job = v; }
        } restore{was};
        for (std::size_t i = 0; i < count; ++i) fn(ctx, i);
        return;
    }
    if (shared_->owner_pid != 0 && shared_->owner_pid != getpid()) {
        // Forked child: the threads and lock states belong to the parent.
        shared_ = new Shared(shared_->thread_count);
    }
    Shared& s = *shared_;
    std::lock_guard<std::mutex> submit(s.submit);
    if (s.threads.empty()) s.start_threads();
    {
        std::lock_guard<std::mutex> lk(s.m);
        s.fn = fn;
        s.ctx = ctx;
        s.count = count;
        s.next.store(0, std::memory_order_relaxed);
        s.error = nullptr;
        ++s.generation;
    }
    s.work_cv.notify_all();
    s.drain(fn, ctx, count);
    std::exception_ptr error;
    {
        std::unique_lock<std::mutex> lk(s.m);
        s.fn = nullptr;  // late wakers do not join any more
        s.done_cv.wait(lk, [&] { return s.active == 0; });
        error = std::exchange(s.error, nullptr);
    }
    if (error) std::rethrow_exception(error);
}

namespace {

// Set by the first call that sizes the pool; a lock-free flag, so a fork at
// any moment leaves nothing locked in the child.
std::atomic<bool> g_pool_sized{false};

}  // namespace

WorkerPool& global_worker_pool() {
    static WorkerPool* pool = new WorkerPool(0);
    return *pool;
}

void initialize_thread_pool(std::size_t threads, bool deterministic) {
    if (threads < 2 || deterministic) return;
    // The first sizing stays for the life of the process.
    if (g_pool_sized.exchange(true)) return;
    WorkerPool& pool = global_worker_pool();
    if (pool.thread_count() != threads) pool.resize(threads);
}

}  // namespace zelk
