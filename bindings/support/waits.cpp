#include "support/waits.hpp"

#include "support/progress.hpp"

namespace tavol::bind {

void wait_interruptibly(WorkerPool &pool, const std::function<void(std::size_t)> &on_progress) {
  std::size_t reported = 0;
  const auto report = [&] {
    const std::size_t finished = pool.finished();
    if (finished != reported) {
      on_progress(finished);
      reported = finished;
    }
  };
  try {
    wait_in_slices(
        [&](std::chrono::milliseconds slice) {
          pool.wait_for(slice);
          return pool.done();
        },
        std::nullopt, true, report);
    report();
  } catch (...) {
    pool.cancel();
    {
      py::gil_scoped_release release;
      pool.join();
    }
    throw;
  }
  {
    py::gil_scoped_release release;
    pool.join();
  }
  pool.rethrow_if_failed();
}

void wait_with_bar(py::handle module, WorkerPool &pool, std::size_t total,
                   const std::string &desc) {
  py::object bar = progress_total(module, total, desc);
  std::size_t shown = 0;
  try {
    wait_interruptibly(pool, [&](std::size_t done) {
      bar.attr("update")(done - shown);
      shown = done;
    });
  } catch (...) {
    bar.attr("close")();
    throw;
  }
  bar.attr("close")();
}

bool interpreter_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing() != 0;
#else
  return _Py_IsFinalizing() != 0;
#endif
}

void park_forever() {
  for (;;)
    std::this_thread::sleep_for(std::chrono::hours(1));
}

} // namespace tavol::bind
