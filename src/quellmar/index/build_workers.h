#pragma once

// The worker threads of one graph build: started when the build begins and joined when it ends
// (no thread outlives the build). Each step of the build is a number of items (row blocks, runs
// of nodes): run() hands them out one at a time to whichever thread asks first, the calling
// thread among them, and returns once every item is done. It never waits for a thread that has
// not come to the step: a thread that the system did not start, or one that has not woken yet,
// leaves its share to the others. The first exception an item throws is rethrown by run() on the
// calling thread once the step is over; the items not yet begun by then are dropped.

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "quellmar/core/function_ref.h"

namespace quellmar {

class BuildWorkers {
 public:
  using Body = FunctionRef<void(size_t item, size_t worker)>;

  // `threads` counts the calling thread; at most `start_limit` workers start, the next start
  // failing as when the system refuses a thread (a test hook).
  BuildWorkers(size_t threads, size_t start_limit);
  ~BuildWorkers();
  BuildWorkers(const BuildWorkers&) = delete;
  BuildWorkers& operator=(const BuildWorkers&) = delete;

  // The threads that share the steps, the calling thread included; worker numbers run below it.
  size_t size() const { return started_.size() + 1; }

  // body(item, worker) for every item of [0, items), worker 0 being the calling thread. With
  // `caller_takes_items` false the calling thread only waits (when there are other threads).
  void run(size_t items, Body body, bool caller_takes_items = true);

  // fn(begin, end, worker) over the runs of `grain` of [0, count).
  template <typename Fn>
  void ranges(size_t count, size_t grain, Fn&& fn) {
    run((count + grain - 1) / grain, [&](size_t item, size_t worker) {
      fn(item * grain, std::min(count, (item + 1) * grain), worker);
    });
  }

 private:
  void serve(size_t worker);
  // Takes the step's items until none is left.
  void drain(uint32_t step, Body body, size_t items, size_t worker);

  // The step under way; guarded by mu_ except the ticket and the failed flag.
  std::mutex mu_;
  std::condition_variable wake_;      // a step begins, or the threads are to stop
  std::condition_variable finished_;  // the step's last item is done
  uint32_t step_ = 0;
  std::optional<Body> body_;
  size_t items_ = 0;
  size_t done_ = 0;
  std::exception_ptr failure_;
  bool stop_ = false;
  std::atomic<uint64_t> ticket_{0};
  std::atomic<bool> failed_{false};
  // Last, so that the threads are joined before anything they use goes.
  std::vector<std::jthread> started_;
};

}  // namespace quellmar
