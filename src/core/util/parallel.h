#pragma once

#include <functional>
#include <future>
#include <system_error>
#include <type_traits>
#include <utility>

namespace vantrel {

// Number of threads that parallel pixel work may use (caller included).
// Defaults to the hardware's; tests and benchmarks set it to compare runs.
int ParallelThreads();
void SetParallelThreads(int threads);

// While it lives, parallel work started on this thread uses at most
// `threads` threads (1: none but this one), whatever the process's setting:
// for work that runs several jobs side by side, each on its own thread.
class ThreadLimit {
public:
    explicit ThreadLimit(int threads);
    ~ThreadLimit();
    ThreadLimit(const ThreadLimit&) = delete;
    ThreadLimit& operator=(const ThreadLimit&) = delete;

private:
    int previous_;
};

// Runs body(begin, end) over [0, count) in blocks of `grain`, spread over the
// worker pool and the calling thread. Blocks are disjoint, so work that writes
// only its own rows is identical for any thread count. `progress`, if given,
// is called on the calling thread only, with the number of items finished so
// far; it may process UI events but must not touch what the body reads or
// writes. The first exception thrown by a body is rethrown here.
void ParallelFor(int count, int grain, const std::function<void(int begin, int end)>& body,
                 const std::function<void(int done)>& progress = {});

// Starts `task` on a thread of its own; where the system starts no more
// threads (a process or memory limit), the task runs when its result is
// asked for instead, so the work is slower but never lost.
template <class F>
std::future<std::invoke_result_t<std::decay_t<F>>> StartTask(F&& task) {
    try {
        return std::async(std::launch::async, task);
    } catch (const std::system_error&) {
        return std::async(std::launch::deferred, std::forward<F>(task));
    }
}

}  // namespace vantrel
