#pragma once

#include <functional>

namespace vantrel {

// Number of threads that parallel pixel work may use (caller included).
// Defaults to the hardware's; tests and benchmarks set it to compare runs.
int ParallelThreads();
void SetParallelThreads(int threads);

// Runs body(begin, end) over [0, count) in blocks of `grain`, spread over the
// worker pool and the calling thread. Blocks are disjoint, so work that writes
// only its own rows is identical for any thread count. `progress`, if given,
// is called on the calling thread only, with the number of items finished so
// far; it may process UI events but must not touch what the body reads or
// writes. The first exception thrown by a body is rethrown here.
void ParallelFor(int count, int grain, const std::function<void(int begin, int end)>& body,
                 const std::function<void(int done)>& progress = {});

}  // namespace vantrel
