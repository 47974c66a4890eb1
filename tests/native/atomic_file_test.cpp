#include "tavol/atomic_file.hpp"
#include "temp_dir.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "tavol/errors.hpp"

namespace fs = std::filesystem;

namespace {

std::string read_text(const fs::path &p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

} // namespace

TEST(AtomicFile, OnlyACommittedFileAppearsAndItReplacesTheOldOne) {
  const fs::path dir = tavol::testing::fresh_dir("atomic", "commit");
  std::ofstream(dir / "a.txt") << "old";
  {
    tavol::AtomicFile abandoned(dir / "a.txt");
    abandoned.write("new", 3);
  } // never committed: the old file stays, no temporary is left
  EXPECT_EQ(read_text(dir / "a.txt"), "old");
  tavol::AtomicFile out(dir / "a.txt", true);
  out.write("he", 2, "llo", 3);
  EXPECT_EQ(read_text(dir / "a.txt"), "old");
  out.commit(0644);
  EXPECT_EQ(read_text(dir / "a.txt"), "hello");
  struct stat st {};
  ASSERT_EQ(::stat((dir / "a.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
}

TEST(AtomicFile, FailuresNameTheFinalPath) {
  const fs::path dir = tavol::testing::fresh_dir("atomic", "fail");
  try {
    tavol::AtomicFile out(dir / "missing" / "a.wav", false, "cannot make ");
    FAIL() << "created a file in a missing folder";
  } catch (const tavol::IoError &e) {
    EXPECT_EQ(e.error_number(), ENOENT);
    EXPECT_EQ(std::string(e.what()).rfind("cannot make " + (dir / "missing" / "a.wav").string(), 0),
              0u)
        << e.what();
  }
  fs::create_directory(dir / "taken");
  tavol::AtomicFile out(dir / "taken", false); // a folder cannot be renamed over
  EXPECT_THROW(out.commit(), tavol::IoError);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
}
