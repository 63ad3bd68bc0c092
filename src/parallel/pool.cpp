// The worker pool: created by the first loop, sized once, never shut down, rebuilt after fork().
#include "parallel/pool.hpp"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <exception>
#include <limits>
#include <mutex>
#include <new>
#include <thread>

namespace tarnwick::parallel {
namespace {

// One call of run_rows. It lives on the caller's stack; the caller does not return before every
// worker that joined it has left.
struct Job {
    RowBody body;
    std::size_t rows = 0;
    std::size_t block_rows = 0;
    std::size_t blocks = 0;
    std::atomic<std::size_t> next_block{0};
    std::atomic<bool> failed{false};

    std::mutex mutex;  // guards everything below
    std::condition_variable finished;
    std::size_t finished_blocks = 0;
    std::size_t helpers = 0;
    std::exception_ptr error;
    std::size_t error_block = std::numeric_limits<std::size_t>::max();

    bool exhausted() const { return next_block.load(std::memory_order_relaxed) >= blocks; }

    // Claims blocks until none are left. After a failure the remaining blocks are only counted.
    void work() {
        for (;;) {
            std::size_t block = next_block.fetch_add(1, std::memory_order_relaxed);
            if (block >= blocks) return;
            std::exception_ptr caught;
            if (!failed.load(std::memory_order_relaxed)) {
                try {
                    RowRange range{block * block_rows, std::min(rows, (block + 1) * block_rows)};
                    body.call(body.context, range);
                } catch (...) {
                    caught = std::current_exception();
                    failed.store(true, std::memory_order_relaxed);
                }
            }
            std::lock_guard lock(mutex);
            if (caught && block < error_block) {
                error = caught;
                error_block = block;
            }
            if (++finished_blocks == blocks) finished.notify_all();
        }
    }
};

class Pool {
public:
    explicit Pool(std::size_t size) : size_(size) {
        for (std::size_t i = 1; i < size; ++i) {
            try {
                std::thread(&Pool::serve, this).detach();
            } catch (const std::system_error&) {
                break;  // fewer helpers only slows loops down: the caller always makes progress
            }
        }
    }

    std::size_t size() const { return size_; }

    void run(Job& job) {
        {
            std::lock_guard lock(mutex_);
            queue_.push_back(&job);
        }
        wake_.notify_all();
        job.work();
        {
            std::lock_guard lock(mutex_);
            auto it = std::find(queue_.begin(), queue_.end(), &job);
            if (it != queue_.end()) queue_.erase(it);
        }
        std::unique_lock lock(job.mutex);
        job.finished.wait(lock, [&] { return job.finished_blocks == job.blocks && job.helpers == 0; });
    }

private:
    void serve() {
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [&] { return !queue_.empty(); });
            Job* job = queue_.front();
            if (job->exhausted()) {
                queue_.pop_front();
                continue;
            }
            {
                // Joining while the pool lock is held: once its caller has taken the job off the
                // queue, nobody joins any more.
                std::lock_guard job_lock(job->mutex);
                ++job->helpers;
            }
            lock.unlock();
            job->work();
            {
                std::lock_guard job_lock(job->mutex);
                if (--job->helpers == 0) job->finished.notify_all();
            }
            lock.lock();
        }
    }

    std::size_t size_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job*> queue_;
};

std::atomic<Pool*> the_pool{nullptr};
alignas(std::mutex) unsigned char creation_storage[sizeof(std::mutex)];
std::mutex* creation_mutex = new (creation_storage) std::mutex();
bool fork_handler_installed = false;  // guarded by creation_mutex

// The child of fork() has none of the pool's threads, and the pool's locks may be held by threads
// that no longer exist: forget the old pool (leaking it) and let the next loop build a new one.
void forget_pool_in_child() {
    the_pool.store(nullptr, std::memory_order_relaxed);
    creation_mutex = new (creation_storage) std::mutex();
}

Pool& the_process_pool() {
    if (Pool* pool = the_pool.load(std::memory_order_acquire)) return *pool;
    std::lock_guard lock(*creation_mutex);
    Pool* pool = the_pool.load(std::memory_order_relaxed);
    if (!pool) {
        if (!fork_handler_installed) {
            pthread_atfork(nullptr, nullptr, forget_pool_in_child);
            fork_handler_installed = true;
        }
        std::size_t size = choose_pool_size(std::getenv("RAYON_NUM_THREADS"),
                                            std::getenv("RAYON_RS_NUM_CPUS"), available_cpus());
        pool = new Pool(size);
        the_pool.store(pool, std::memory_order_release);
    }
    return *pool;
}

}  // namespace

std::size_t pool_size() { return the_process_pool().size(); }

void run_rows(std::size_t rows, RowBody body) {
    if (rows == 0) return;
    if (rows == 1) {
        body.call(body.context, RowRange{0, 1});
        return;
    }
    Pool& pool = the_process_pool();
    if (pool.size() == 1) {
        body.call(body.context, RowRange{0, rows});
        return;
    }
    // A few blocks per thread balance uneven rows; the split never changes what a row computes.
    std::size_t target_blocks = pool.size() * 4;
    Job job;
    job.body = body;
    job.rows = rows;
    job.block_rows = (rows + target_blocks - 1) / target_blocks;
    job.blocks = (rows + job.block_rows - 1) / job.block_rows;
    pool.run(job);
    if (job.error) std::rethrow_exception(job.error);
}

}  // namespace tarnwick::parallel
