// Exception classes thrown by the core; the bindings translate each to one Python type.
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>

#include "tavol/constants.hpp"

namespace tavol {

// Base of everything the core throws on purpose.
class Error : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// A caller passed a value the operation cannot work with (Python: ValueError).
class InvalidArgument : public Error {
public:
  using Error::Error;
};

// A file-system call failed (Python: OSError with errno and file name).
class IoError : public Error {
public:
  IoError(int err, std::string what, std::filesystem::path path)
      : Error(std::move(what)), errno_(err), path_(std::move(path)) {}
  int error_number() const noexcept { return errno_; }
  const std::filesystem::path &path() const noexcept { return path_; }

private:
  int errno_;
  std::filesystem::path path_;
};

// Audio that cannot be used: base of the two decoding failures below.
class AudioError : public Error {
public:
  AudioError(std::string what, std::filesystem::path path)
      : Error(std::move(what)), path_(std::move(path)) {}
  const std::filesystem::path &path() const noexcept { return path_; }

private:
  std::filesystem::path path_;
};

// libsndfile does not recognise the file at all (missing, not audio, unknown
// format): a caller may still try another decoder.
class UnreadableAudio : public AudioError {
public:
  using AudioError::AudioError;
};

// The file is recognised but damaged (truncated data, read errors): no decoder
// should be trusted with it.
class CorruptAudio : public AudioError {
public:
  using AudioError::AudioError;
};

// Damage of one kind: samples that are NaN or infinite, or become so when
// mixed to mono or resampled.
class NonFiniteAudio : public CorruptAudio {
public:
  using CorruptAudio::CorruptAudio;
};

// Refuses a path holding a NUL byte (InvalidArgument, "embedded null byte"):
// the C calls that take it would stop at that byte and use another file.
inline void check_no_nul(const std::filesystem::path &path) {
  if (path.native().find('\0') != std::filesystem::path::string_type::npos)
    throw InvalidArgument(kMsgNulInPath);
}

} // namespace tavol
