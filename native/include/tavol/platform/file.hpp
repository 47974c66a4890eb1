// Files by handle: the one place the core calls the operating system's file
// interface (POSIX in file_posix.cpp; a port supplies its own). Failures are
// reported as the system's error number, which IoError carries to Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>

namespace tavol::platform {

// An open file, closed when the object goes.
class File {
public:
  File() noexcept = default;
  File(File &&other) noexcept;
  File &operator=(File &&other) noexcept;
  File(const File &) = delete;
  File &operator=(const File &) = delete;
  ~File();

  // Opens an existing file for reading; empty on failure, with `error` set.
  static File open_read(const std::filesystem::path &path, int &error) noexcept;
  // Creates a file that must not exist yet, for writing; empty on failure,
  // with `error` set (EEXIST when the name is taken). `owner_only` creates it
  // readable by its owner alone; otherwise as the process creates files.
  static File create_new(const std::filesystem::path &path, bool owner_only, int &error) noexcept;

  explicit operator bool() const noexcept { return handle_ >= 0; }

  // The size of a regular file; nullopt for anything else (pipes, devices).
  std::optional<std::uint64_t> regular_size() const noexcept;
  // Reads up to `n` bytes from `offset`, fewer only at the end of the file or
  // on an error; returns how many it read.
  std::size_t read_at(std::uint64_t offset, void *out, std::size_t n) const noexcept;
  // Writes every byte of `first` then of `second` (either may be empty), in
  // one call where the system allows; 0 or an error number.
  int write_all(const void *first, std::size_t first_bytes, const void *second = nullptr,
                std::size_t second_bytes = 0) noexcept;
  // Sets the permission bits (POSIX mode bits); 0 or an error number.
  int set_permissions(unsigned mode) noexcept;
  // Closes now; 0 or the error number the system reported for the close.
  int close() noexcept;

private:
  explicit File(int handle) noexcept : handle_(handle) {}
  int handle_ = -1;
};

// Renames `from` over `to` in one step; 0 or an error number.
int rename_over(const std::filesystem::path &from, const std::filesystem::path &to) noexcept;
// Removes a file, ignoring failure.
void remove_quietly(const std::filesystem::path &path) noexcept;
// The id of this process, for names no other process picks.
unsigned long process_id() noexcept;
// Descriptors this process may hold open: the system's limit for it.
std::size_t open_file_limit() noexcept;

} // namespace tavol::platform
