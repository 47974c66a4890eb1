// A fresh, empty folder per test under the system temporary folder; the
// process id keeps parallel runs (plain and sanitizer builds) apart.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <string>

namespace tavol::testing {

inline std::filesystem::path fresh_dir(const std::string &suite, const std::string &name) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() /
      ("tavol_" + suite + "_" + name + "_" + std::to_string(::getpid()));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir;
}

} // namespace tavol::testing
