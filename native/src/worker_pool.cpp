#include "tavol/worker_pool.hpp"

#include <algorithm>

#include "tavol/errors.hpp"

namespace tavol {

WorkerPool::WorkerPool(std::size_t n, int threads, Task task) : n_(n), task_(std::move(task)) {
  if (threads < 1)
    throw InvalidArgument("Number of processes must be at least 1");
  const std::size_t count = std::min(n, static_cast<std::size_t>(threads));
  running_workers_ = count;
  threads_.reserve(count);
  try {
    for (std::size_t i = 0; i < count; ++i)
      threads_.emplace_back([this] { run(); });
  } catch (...) {
    {
      std::lock_guard lock(mutex_);
      running_workers_ -= count - threads_.size();
    }
    cancel();
    join();
    throw;
  }
}

WorkerPool::~WorkerPool() {
  cancel();
  join();
}

void WorkerPool::run() {
  while (!cancelled_.load()) {
    const std::size_t i = next_.fetch_add(1);
    if (i >= n_)
      break;
    try {
      task_(i);
    } catch (...) {
      std::lock_guard lock(mutex_);
      if (!error_)
        error_ = std::current_exception();
      cancelled_.store(true);
    }
    finished_.fetch_add(1);
  }
  std::lock_guard lock(mutex_);
  if (--running_workers_ == 0)
    done_.notify_all();
}

std::size_t WorkerPool::wait_for(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  done_.wait_for(lock, timeout, [this] { return running_workers_ == 0; });
  return finished_.load();
}

bool WorkerPool::done() {
  std::lock_guard lock(mutex_);
  return running_workers_ == 0;
}

void WorkerPool::cancel() noexcept { cancelled_.store(true); }

void WorkerPool::join() {
  for (auto &t : threads_)
    if (t.joinable())
      t.join();
}

void WorkerPool::rethrow_if_failed() {
  std::lock_guard lock(mutex_);
  if (error_)
    std::rethrow_exception(error_);
}

} // namespace tavol
