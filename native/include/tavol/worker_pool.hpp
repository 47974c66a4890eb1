// A batch of independent tasks run on a fixed number of worker threads.
//
// Tasks are indices 0..n-1, started in index order. The owner polls progress
// with wait_for() in short slices (so it can look at signals in between),
// may cancel() to stop starting new tasks, and must join() (the destructor
// does it too). The first exception a task throws cancels the batch and is
// rethrown by rethrow_if_failed(). Tasks must not touch Python objects.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace tavol {

class WorkerPool {
public:
  using Task = std::function<void(std::size_t index)>;

  // Starts min(threads, n) workers at once; threads < 1 is InvalidArgument.
  WorkerPool(std::size_t n, int threads, Task task);
  ~WorkerPool();
  WorkerPool(const WorkerPool &) = delete;
  WorkerPool &operator=(const WorkerPool &) = delete;

  // Waits up to `timeout` for the batch to end; returns the number of tasks
  // finished so far (successfully or not).
  std::size_t wait_for(std::chrono::milliseconds timeout);
  // No task starts after this; running tasks finish.
  void cancel() noexcept;
  // Waits until every worker has stopped.
  void join();
  bool cancelled() const noexcept { return cancelled_.load(); }
  // True once every worker has stopped (all tasks ran, or the batch was cancelled).
  bool done();
  std::size_t finished() const noexcept { return finished_.load(); }
  std::size_t size() const noexcept { return n_; }
  void rethrow_if_failed();

private:
  void run();

  std::size_t n_;
  Task task_;
  std::atomic<std::size_t> next_{0};
  std::atomic<std::size_t> finished_{0};
  std::atomic<bool> cancelled_{false};
  std::size_t running_workers_ = 0;
  std::mutex mutex_;
  std::condition_variable done_;
  std::exception_ptr error_;
  std::vector<std::thread> threads_;
};

} // namespace tavol
