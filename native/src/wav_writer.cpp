// RIFF/WAVE writer for 16-bit PCM, with the temporary-file-then-rename dance.
#include "tavol/wav_writer.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tavol/errors.hpp"

namespace tavol {
namespace {

void put32(std::vector<unsigned char> &out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i)
    out.push_back(static_cast<unsigned char>((v >> (8 * i)) & 0xFFu));
}

void put16(std::vector<unsigned char> &out, std::uint16_t v) {
  out.push_back(static_cast<unsigned char>(v & 0xFFu));
  out.push_back(static_cast<unsigned char>(v >> 8));
}

// A temporary name in the destination folder that no other writer, in this
// process or another, picks at the same time: the process id and a counter of
// this process, in fixed-width hex. It is short and the same length whatever
// the final name, so any name the file system can hold can be written.
std::filesystem::path temporary_sibling(const std::filesystem::path &path) {
  static std::atomic<std::uint64_t> counter{0};
  char name[40];
  std::snprintf(name, sizeof name, "%s%08lx%016llx.tmp", kTemporaryPrefix,
                static_cast<unsigned long>(::getpid()) & 0xffffffffUL,
                static_cast<unsigned long long>(counter.fetch_add(1)));
  return path.parent_path() / name;
}

[[noreturn]] void fail(int err, const std::string &what, const std::filesystem::path &path) {
  throw IoError(err, what + ": " + std::strerror(err), path);
}

bool write_all(int fd, const void *data, std::size_t size) {
  const auto *p = static_cast<const unsigned char *>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd, p, size);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      return false;
    }
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

} // namespace

void write_wav16(const std::filesystem::path &path, const std::int16_t *interleaved,
                 std::size_t frames, int channels, int rate) {
  if (channels < 1 || rate < 1)
    throw InvalidArgument("WAV needs at least one channel and a positive rate");
  const std::uint64_t data_bytes =
      static_cast<std::uint64_t>(frames) * static_cast<std::uint64_t>(channels) * 2u;
  if (data_bytes + 36u > 0xFFFFFFFFu)
    throw InvalidArgument("WAV data larger than 4 GiB: " + path.string());
  const auto ch = static_cast<std::uint16_t>(channels);
  const auto sr = static_cast<std::uint32_t>(rate);

  std::vector<unsigned char> header;
  header.reserve(44);
  for (char c : std::string("RIFF"))
    header.push_back(static_cast<unsigned char>(c));
  put32(header, static_cast<std::uint32_t>(36u + data_bytes));
  for (char c : std::string("WAVEfmt "))
    header.push_back(static_cast<unsigned char>(c));
  put32(header, 16);
  put16(header, 1); // PCM
  put16(header, ch);
  put32(header, sr);
  put32(header, sr * 2u * ch);
  put16(header, static_cast<std::uint16_t>(2u * ch));
  put16(header, 16);
  for (char c : std::string("data"))
    header.push_back(static_cast<unsigned char>(c));
  put32(header, static_cast<std::uint32_t>(data_bytes));

  check_no_nul(path);
  // A name left behind by an earlier process with our id is passed over.
  std::filesystem::path tmp;
  int fd = -1;
  do
    tmp = temporary_sibling(path);
  while ((fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666)) < 0 &&
         errno == EEXIST);
  if (fd < 0)
    fail(errno, "cannot create " + path.string(), path);
  const bool ok = write_all(fd, header.data(), header.size()) &&
                  write_all(fd, interleaved, static_cast<std::size_t>(data_bytes));
  const int write_errno = errno;
  if (::close(fd) != 0 || !ok) {
    const int err = ok ? errno : write_errno;
    ::unlink(tmp.c_str());
    fail(err, "cannot write " + path.string(), path);
  }
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    const int err = errno;
    ::unlink(tmp.c_str());
    fail(err, "cannot rename onto " + path.string(), path);
  }
}

} // namespace tavol
