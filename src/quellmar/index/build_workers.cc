#include "quellmar/index/build_workers.h"

#include <new>
#include <system_error>

#include "quellmar/core/internal_fault.h"

namespace quellmar {

BuildWorkers::BuildWorkers(size_t threads, size_t start_limit) {
  if (threads <= 1) return;
  try {
    started_.reserve(threads - 1);
    for (size_t worker = 1; worker < threads; ++worker) {
      if (started_.size() >= start_limit) {
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
      }
      started_.emplace_back([this, worker] { serve(worker); });
    }
  } catch (const std::system_error&) {
    // Fewer threads: those started and the calling thread share the work.
  } catch (const std::bad_alloc&) {
  }
}

BuildWorkers::~BuildWorkers() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
  }
  wake_.notify_all();
  started_.clear();  // joins every thread
}

void BuildWorkers::run(size_t items, Body body, bool caller_takes_items) {
  if (items == 0) return;
  if (started_.empty()) {
    for (size_t item = 0; item < items; ++item) body(item, 0);
    return;
  }
  QM_CHECK(items <= UINT32_MAX);
  uint32_t step = 0;
  {
    std::lock_guard<std::mutex> lock(mu_);
    step = ++step_;
    body_.emplace(body);
    items_ = items;
    done_ = 0;
    failure_ = nullptr;
    failed_.store(false, std::memory_order_relaxed);
    ticket_.store(uint64_t{step} << 32, std::memory_order_relaxed);
  }
  wake_.notify_all();
  if (caller_takes_items) drain(step, body, items, 0);
  std::exception_ptr failure;
  {
    std::unique_lock<std::mutex> lock(mu_);
    finished_.wait(lock, [&] { return done_ == items_; });
    failure = failure_;
  }
  if (failure) std::rethrow_exception(failure);
}

void BuildWorkers::serve(size_t worker) {
  uint32_t seen = 0;
  for (;;) {
    std::optional<Body> body;
    size_t items = 0;
    uint32_t step = 0;
    {
      std::unique_lock<std::mutex> lock(mu_);
      wake_.wait(lock, [&] { return stop_ || step_ != seen; });
      if (stop_) return;
      seen = step = step_;
      body = body_;
      items = items_;
    }
    drain(step, *body, items, worker);
  }
}

// The ticket holds the step's number above the next item: a thread still on an earlier step
// takes nothing from a later one.
void BuildWorkers::drain(uint32_t step, Body body, size_t items, size_t worker) {
  for (;;) {
    uint64_t ticket = ticket_.load(std::memory_order_relaxed);
    do {
      if (static_cast<uint32_t>(ticket >> 32) != step || (ticket & UINT32_MAX) >= items) return;
    } while (!ticket_.compare_exchange_weak(ticket, ticket + 1, std::memory_order_relaxed));
    if (!failed_.load(std::memory_order_relaxed)) {
      try {
        body(static_cast<size_t>(ticket & UINT32_MAX), worker);
      } catch (...) {
        std::lock_guard<std::mutex> lock(mu_);
        if (!failure_) failure_ = std::current_exception();
        failed_.store(true, std::memory_order_relaxed);
      }
    }
    std::lock_guard<std::mutex> lock(mu_);
    if (++done_ == items_) finished_.notify_one();
  }
}

}  // namespace quellmar
