#include "util/parallel.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

namespace vantrel {
namespace {

class ThreadPool {
public:
    // As many workers as the system lets us start, down to none: under a
    // process or memory limit the calling thread does the work alone.
    explicit ThreadPool(int workers) {
        for (int i = 0; i < workers; ++i) {
            try {
                threads_.emplace_back([this] { run(); });
            } catch (const std::system_error&) {
                break;
            } catch (const std::bad_alloc&) {
                break;
            }
        }
    }
    ~ThreadPool() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        for (auto& t : threads_) t.join();
    }
    int size() const { return static_cast<int>(threads_.size()); }
    void submit(std::function<void()> task) {
        {
            std::lock_guard lock(mutex_);
            queue_.push_back(std::move(task));
        }
        wake_.notify_one();
    }

private:
    void run() {
        for (;;) {
            std::function<void()> task;
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
                if (queue_.empty()) return;
                task = std::move(queue_.front());
                queue_.pop_front();
            }
            task();
        }
    }

    std::vector<std::thread> threads_;
    std::deque<std::function<void()>> queue_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
};

int HardwareThreads() { return std::max(1u, std::thread::hardware_concurrency()); }

std::atomic<int> g_threads{0};
thread_local int t_threads = 0;  // this thread's own limit; 0: the process's

ThreadPool& Pool() {
    // Sized for the largest thread count a caller may ask for.
    static ThreadPool pool(std::max(HardwareThreads(), 8) - 1);
    return pool;
}

struct Job {
    int count = 0;
    int grain = 1;
    int blocks = 0;
    std::atomic<int> next{0};
    std::atomic<int> finishedBlocks{0};
    std::atomic<int> finishedItems{0};
    std::mutex mutex;
    std::condition_variable done;
    std::exception_ptr error;
    std::atomic<bool> failed{false};
    const std::function<void(int, int)>* body = nullptr;

    // Claims and runs one block; false when none is left.
    bool runOne() {
        const int b = next.fetch_add(1);
        if (b >= blocks) return false;
        const int begin = b * grain;
        const int end = std::min(count, begin + grain);
        try {
            if (!failed) (*body)(begin, end);
        } catch (...) {
            std::lock_guard lock(mutex);
            if (!error) error = std::current_exception();
            failed = true;
        }
        finishedItems.fetch_add(end - begin);
        if (finishedBlocks.fetch_add(1) + 1 == blocks) {
            std::lock_guard lock(mutex);
            done.notify_all();
        }
        return true;
    }
};

}  // namespace

int ParallelThreads() {
    if (t_threads > 0) return t_threads;
    const int t = g_threads.load();
    return t > 0 ? t : HardwareThreads();
}

ThreadLimit::ThreadLimit(int threads) : previous_(t_threads) { t_threads = std::max(1, threads); }
ThreadLimit::~ThreadLimit() { t_threads = previous_; }

void SetParallelThreads(int threads) { g_threads = std::clamp(threads, 0, Pool().size() + 1); }

void ParallelFor(int count, int grain, const std::function<void(int, int)>& body,
                 const std::function<void(int)>& progress) {
    if (count <= 0) return;
    grain = std::max(1, grain);
    auto job = std::make_shared<Job>();
    job->count = count;
    job->grain = grain;
    job->blocks = (count + grain - 1) / grain;
    job->body = &body;

    const int helpers = std::min({ParallelThreads(), job->blocks, Pool().size() + 1}) - 1;
    for (int i = 0; i < helpers; ++i)
        Pool().submit([job] {
            while (job->runOne()) {
            }
        });

    while (job->runOne())
        if (progress) progress(job->finishedItems.load());
    {
        std::unique_lock lock(job->mutex);
        job->done.wait(lock, [&] { return job->finishedBlocks.load() == job->blocks; });
    }
    if (job->error) std::rethrow_exception(job->error);
    if (progress) progress(count);
}

}  // namespace vantrel
