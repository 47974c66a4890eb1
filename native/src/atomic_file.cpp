#include "tavol/atomic_file.hpp"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <utility>

#include "tavol/constants.hpp"
#include "tavol/errors.hpp"

namespace tavol {
namespace {

// The process id and a counter of this process, in fixed-width hex. The id is
// asked once: a child forked later that writes beside its parent under the same
// id only meets a taken name, which the exclusive create passes over.
std::filesystem::path temporary_sibling(const std::filesystem::path &path) {
  static std::atomic<std::uint64_t> counter{0};
  static const unsigned long pid = platform::process_id();
  char name[40];
  std::snprintf(name, sizeof name, "%s%08lx%016llx.tmp", kTemporaryPrefix, pid & 0xffffffffUL,
                static_cast<unsigned long long>(counter.fetch_add(1)));
  return path.parent_path() / name;
}

} // namespace

AtomicFile::AtomicFile(std::filesystem::path path, bool owner_only,
                       const std::string &create_failure)
    : path_(std::move(path)) {
  check_no_nul(path_);
  // A name left behind by an earlier process with our id is passed over.
  int error = 0;
  do {
    temporary_ = temporary_sibling(path_);
    file_ = platform::File::create_new(temporary_, owner_only, error);
  } while (!file_ && error == EEXIST);
  if (!file_)
    throw IoError(error, create_failure + path_.string() + ": " + std::strerror(error), path_);
}

AtomicFile::~AtomicFile() {
  if (!committed_) {
    file_.close();
    platform::remove_quietly(temporary_);
  }
}

void AtomicFile::fail(int error, const std::string &what) {
  file_.close();
  platform::remove_quietly(temporary_);
  committed_ = true; // nothing left to remove
  throw IoError(error, what + path_.string() + ": " + std::strerror(error), path_);
}

void AtomicFile::write(const void *first, std::size_t first_bytes, const void *second,
                       std::size_t second_bytes) {
  if (const int error = file_.write_all(first, first_bytes, second, second_bytes))
    fail(error, "cannot write ");
}

void AtomicFile::commit(std::optional<unsigned> permissions) {
  int error = permissions ? file_.set_permissions(*permissions) : 0;
  if (const int closed = file_.close(); error == 0)
    error = closed;
  if (error != 0)
    fail(error, "cannot write ");
  if (const int renamed = platform::rename_over(temporary_, path_))
    fail(renamed, "cannot rename onto ");
  committed_ = true;
}

} // namespace tavol
