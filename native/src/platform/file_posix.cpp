#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <limits>
#include <utility>

#include "tavol/platform/file.hpp"

namespace tavol::platform {

File::File(File &&other) noexcept : handle_(std::exchange(other.handle_, -1)) {}

File &File::operator=(File &&other) noexcept {
  if (this != &other) {
    close();
    handle_ = std::exchange(other.handle_, -1);
  }
  return *this;
}

File::~File() { close(); }

File File::open_read(const std::filesystem::path &path, int &error) noexcept {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  error = fd < 0 ? errno : 0;
  return File(fd);
}

File File::create_new(const std::filesystem::path &path, bool owner_only, int &error) noexcept {
  const int fd =
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, owner_only ? 0600 : 0666);
  error = fd < 0 ? errno : 0;
  return File(fd);
}

std::optional<std::uint64_t> File::regular_size() const noexcept {
  struct stat st {};
  if (::fstat(handle_, &st) != 0 || !S_ISREG(st.st_mode))
    return std::nullopt;
  return static_cast<std::uint64_t>(st.st_size);
}

std::size_t File::read_at(std::uint64_t offset, void *out, std::size_t n) const noexcept {
  auto *p = static_cast<unsigned char *>(out);
  std::size_t done = 0;
  while (done < n) {
    const ssize_t got = ::pread(handle_, p + done, n - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR)
      continue;
    if (got <= 0)
      break;
    done += static_cast<std::size_t>(got);
  }
  return done;
}

int File::write_all(const void *first, std::size_t first_bytes, const void *second,
                    std::size_t second_bytes) noexcept {
  iovec parts[2] = {{const_cast<void *>(first), first_bytes},
                    {const_cast<void *>(second), second_bytes}};
  iovec *next = parts;
  int count = 2;
  while (count > 0) {
    if (next->iov_len == 0) {
      ++next;
      --count;
      continue;
    }
    const ssize_t n = ::writev(handle_, next, count);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      return errno;
    }
    auto left = static_cast<std::size_t>(n);
    while (count > 0 && left >= next->iov_len) {
      left -= next->iov_len;
      ++next;
      --count;
    }
    if (count > 0) {
      next->iov_base = static_cast<unsigned char *>(next->iov_base) + left;
      next->iov_len -= left;
    }
  }
  return 0;
}

int File::set_permissions(unsigned mode) noexcept {
  return ::fchmod(handle_, static_cast<mode_t>(mode)) == 0 ? 0 : errno;
}

int File::close() noexcept {
  if (handle_ < 0)
    return 0;
  const int status = ::close(std::exchange(handle_, -1));
  return status == 0 ? 0 : errno;
}

int rename_over(const std::filesystem::path &from, const std::filesystem::path &to) noexcept {
  return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

void remove_quietly(const std::filesystem::path &path) noexcept { ::unlink(path.c_str()); }

unsigned long process_id() noexcept { return static_cast<unsigned long>(::getpid()); }

std::size_t open_file_limit() noexcept {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
    return 1024;
  return static_cast<std::size_t>(
      std::min<rlim_t>(limit.rlim_cur, std::numeric_limits<std::size_t>::max()));
}

} // namespace tavol::platform
