// The worker pool: created by the first loop, sized once, never shut down, rebuilt after fork().
#include "parallel/pool.hpp"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <limits>
#include <mutex>
#include <new>
#include <thread>
#include <utility>

namespace tarnwick::parallel {

// One loop offered to the helpers: a call of run_rows, on the caller's stack, or a BackgroundRows.
// Its owner does not let it go before every helper that joined it has left.
struct Job {
    RowBody body;
    std::size_t first_row = 0;  // rows before it were done by the caller before sharing
    std::size_t rows = 0;
    std::size_t block_rows = 0;
    std::size_t blocks = 0;
    std::atomic<std::size_t> next_block{0};
    std::atomic<bool> failed{false};
    Job* next_in_queue = nullptr;  // guarded by the pool's mutex

    std::mutex mutex;  // guards everything below
    std::condition_variable finished;
    std::size_t finished_blocks = 0;
    std::size_t helpers = 0;
    std::exception_ptr error;
    std::size_t error_block = std::numeric_limits<std::size_t>::max();

    bool exhausted() const { return next_block.load(std::memory_order_relaxed) >= blocks; }

    RowRange block_range(std::size_t block) const {
        std::size_t begin = first_row + block * block_rows;
        return {begin, begin + std::min(block_rows, rows - begin)};
    }

    // Claims blocks until none are left. After a failure the remaining blocks are only counted.
    void work() {
        for (;;) {
            std::size_t block = next_block.fetch_add(1, std::memory_order_relaxed);
            if (block >= blocks) return;
            std::exception_ptr caught;
            if (!failed.load(std::memory_order_relaxed)) {
                try {
                    body.call(body.context, block_range(block));
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

namespace {

using Clock = std::chrono::steady_clock;

// Below this much estimated work a loop is not worth handing out: waking a helper costs tens of
// microseconds, and a caller that waits for a helper the OS has not scheduled yet loses more.
constexpr Clock::duration MIN_WORK_TO_SHARE = std::chrono::microseconds(100);
constexpr Clock::duration SPIN_BEFORE_SLEEP = std::chrono::microseconds(200);

class Pool {
public:
    // Never throws once a helper runs: a helper holds `this`, so a half-built pool must not be
    // freed. A helper that cannot be started (no memory, no threads left) only makes loops slower.
    explicit Pool(std::size_t size) {
        for (std::size_t i = 1; i < size; ++i) {
            try {
                std::thread(&Pool::serve, this).detach();
            } catch (...) {
                break;
            }
            helpers_.fetch_add(1, std::memory_order_relaxed);
        }
    }

    /// Threads that loops use: the helpers that did start, and the caller.
    std::size_t size() const { return helpers_.load(std::memory_order_relaxed) + 1; }

    // Queues the job and wakes up to `helpers` sleeping helpers for it.
    void offer(Job& job, std::size_t helpers) {
        std::size_t wanted;
        {
            std::lock_guard lock(mutex_);
            (tail_ ? tail_->next_in_queue : head_) = &job;
            tail_ = &job;
            wanted = std::min(helpers, idle_.load(std::memory_order_relaxed));
            queued_.fetch_add(1, std::memory_order_relaxed);
        }
        for (std::size_t i = 0; i < wanted; ++i) wake_.notify_one();
    }

    // Works on an offered job until no block is left, withdraws it, and returns once every block
    // is done and every helper has left it.
    void complete(Job& job) {
        job.work();
        {
            std::lock_guard lock(mutex_);
            unlink(job);
            queued_.fetch_sub(1, std::memory_order_relaxed);
        }
        std::unique_lock lock(job.mutex);
        job.finished.wait(lock, [&] { return job.finished_blocks == job.blocks && job.helpers == 0; });
    }

private:
    // The oldest job with blocks left; exhausted ones are left for their callers to unlink.
    Job* open_job() const {
        for (Job* job = head_; job; job = job->next_in_queue)
            if (!job->exhausted()) return job;
        return nullptr;
    }

    void unlink(Job& job) {
        Job* previous = nullptr;
        for (Job* job_in_queue = head_; job_in_queue; job_in_queue = job_in_queue->next_in_queue) {
            if (job_in_queue == &job) {
                (previous ? previous->next_in_queue : head_) = job.next_in_queue;
                if (tail_ == &job) tail_ = previous;
                return;
            }
            previous = job_in_queue;
        }
    }

    // A helper that has just finished watches for work a little before it sleeps: loops often
    // come in quick succession, and a sleeping thread (on a virtual machine, a halted CPU) can
    // take longer to wake than a whole loop takes.
    void await_work_briefly() const {
        const Clock::time_point deadline = Clock::now() + SPIN_BEFORE_SLEEP;
        do {
            for (int i = 0; i < 64; ++i) {
                if (queued_.load(std::memory_order_relaxed) > 0) return;
#if defined(__x86_64__) || defined(__i386__)
                __builtin_ia32_pause();
#else
                std::this_thread::yield();
#endif
            }
        } while (Clock::now() < deadline);
    }

    void serve() {
        std::unique_lock lock(mutex_);
        for (;;) {
            Job* job = open_job();
            if (!job) {
                lock.unlock();
                await_work_briefly();
                lock.lock();
                job = open_job();
            }
            if (!job) {
                idle_.fetch_add(1, std::memory_order_relaxed);
                wake_.wait(lock, [&] { return (job = open_job()) != nullptr; });
                idle_.fetch_sub(1, std::memory_order_relaxed);
            }
            {
                // Joining while the pool lock is held: once its caller has unlinked the job,
                // nobody joins any more, so the caller's wait for helpers is final.
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

    std::atomic<std::size_t> helpers_{0};
    std::atomic<std::size_t> idle_{0};  // helpers asleep on wake_: the ones a new job wakes
    std::atomic<std::size_t> queued_{0};  // jobs in the queue, read without the lock
    std::mutex mutex_;  // guards the queue and the waits on wake_
    std::condition_variable wake_;
    Job* head_ = nullptr;
    Job* tail_ = nullptr;
};

std::atomic<Pool*> the_pool{nullptr};
// Threads inside a computation (a BusyCaller scope) right now, across the process.
std::atomic<std::size_t> busy_callers{0};
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
        pool = new Pool(size);  // published only once every helper it could start runs
        the_pool.store(pool, std::memory_order_release);
    }
    return *pool;
}

// Rows [first, rows) cut into blocks: many per thread balance uneven rows and helpers that start
// late (a woken thread may take tens of microseconds to run), and each block is long enough to be
// worth a hand-off. The split never changes what a row computes.
void split(Job& job, std::size_t first, std::size_t rows, std::size_t threads,
           std::size_t min_block_rows) {
    const std::size_t remaining = rows - first;
    constexpr std::size_t BLOCKS_PER_THREAD = 16;
    std::size_t target_blocks =
        threads > remaining / BLOCKS_PER_THREAD ? remaining : threads * BLOCKS_PER_THREAD;
    target_blocks = std::max<std::size_t>(target_blocks, 1);
    job.first_row = first;
    job.rows = rows;
    job.block_rows = std::max(remaining / target_blocks + (remaining % target_blocks != 0),
                              std::max<std::size_t>(min_block_rows, 1));
    job.blocks = remaining / job.block_rows + (remaining % job.block_rows != 0);
}

}  // namespace

std::size_t pool_size() { return the_process_pool().size(); }

bool helpers_to_spare() {
    const std::size_t size = pool_size();
    return size > 1 && busy_callers.load(std::memory_order_relaxed) < size;
}

BusyCaller::BusyCaller() noexcept { busy_callers.fetch_add(1, std::memory_order_relaxed); }
BusyCaller::~BusyCaller() { busy_callers.fetch_sub(1, std::memory_order_relaxed); }

void run_rows(std::size_t rows, RowBody body) {
    if (rows == 0) return;
    if (rows == 1) {
        body.call(body.context, RowRange{0, 1});
        return;
    }
    Pool& pool = the_process_pool();
    // The caller does the first row itself and times it: a loop too small to pay for a hand-off
    // stays on this thread. A helper still busy elsewhere joins when it is done.
    const Clock::time_point start = Clock::now();
    body.call(body.context, RowRange{0, 1});
    const Clock::duration first_row = Clock::now() - start;
    const bool worth_sharing = first_row * static_cast<double>(rows - 1) >= MIN_WORK_TO_SHARE;
    // Callers that already keep every thread of the pool busy gain nothing from helpers: they
    // would only take turns on the same cores.
    if (!worth_sharing || !helpers_to_spare()) {
        body.call(body.context, RowRange{1, rows});
        return;
    }
    const std::size_t rows_per_share =
        first_row.count() > 0 ? static_cast<std::size_t>(MIN_WORK_TO_SHARE / first_row / 4) : 1;
    Job job;
    job.body = body;
    split(job, 1, rows, pool.size(), rows_per_share);
    pool.offer(job, job.blocks - 1);  // the caller works on it too
    pool.complete(job);
    if (job.error) std::rethrow_exception(job.error);
}

BackgroundRows::BackgroundRows(std::size_t rows, RowBody body) : job_(std::make_unique<Job>()) {
    job_->body = body;
    job_->rows = rows;
    if (rows == 0) return;
    Pool& pool = the_process_pool();
    split(*job_, 0, rows, pool.size(), 1);
    if (helpers_to_spare()) {
        pool.offer(*job_, job_->blocks);
        offered_ = true;
    }
}

BackgroundRows::~BackgroundRows() { wait(); }

void BackgroundRows::finish() {
    wait();
    if (job_->error) std::rethrow_exception(std::exchange(job_->error, nullptr));
}

void BackgroundRows::wait() noexcept {
    if (done_) return;
    done_ = true;
    if (offered_)
        the_process_pool().complete(*job_);
    else
        job_->work();  // catches what the body throws
}

}  // namespace tarnwick::parallel
