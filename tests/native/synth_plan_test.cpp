#include "tavol/synth_plan.hpp"
#include "temp_dir.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tavol/errors.hpp"

namespace fs = std::filesystem;
using tavol::Pairing;

TEST(SynthPlan, InTurnCyclesNoisesAndSnrs) {
  // 5 clean files, 2 noises, 3 SNRs: (a,x,-5) (b,y,0) (c,x,5) (d,y,-5) (e,x,0)
  EXPECT_EQ(tavol::pair_in_turn(5, 2, 3),
            (std::vector<Pairing>{{0, 0, 0}, {1, 1, 1}, {2, 0, 2}, {3, 1, 0}, {4, 0, 1}}));
  EXPECT_TRUE(tavol::pair_in_turn(0, 0, 0).empty());
  EXPECT_THROW(tavol::pair_in_turn(3, 0, 2), tavol::InvalidArgument);
}

TEST(SynthPlan, AllCombinationsAreCleanMajor) {
  const auto plan = tavol::pair_all(2, 2, 2);
  EXPECT_EQ(
      plan,
      (std::vector<Pairing>{
          {0, 0, 0}, {0, 0, 1}, {0, 1, 0}, {0, 1, 1}, {1, 0, 0}, {1, 0, 1}, {1, 1, 0}, {1, 1, 1}}));
  EXPECT_EQ(tavol::pair_all(3, 0, 4).size(), 0u);
}

TEST(SynthPlan, NamesAppendTheExtension) {
  EXPECT_EQ(tavol::mixture_name("take.1", "b", "2.5dB"), "take.1_b_2.5dB.wav");
  EXPECT_EQ(tavol::silence_name("a", "b"), "ab_n00.wav");
  const auto paths = tavol::mixture_paths({{0, 1, 0}, {1, 0, 0}}, {"out/spk1", ""}, {"a", "c"},
                                          {"x", "y"}, {"n5"});
  EXPECT_EQ(paths, (std::vector<std::string>{"out/spk1/a_y_n5.wav", "c_x_n5.wav"}));
}

// Clean a_b with noise c and clean a with noise b_c give one name; the same
// SNR listed twice gives two entries per name; a numbered name a plan already
// holds is skipped.
TEST(SynthPlan, RepeatedPathsAreNumbered) {
  std::vector<std::string> paths = {"o/a_b_c_5dB.wav", "o/a_b_c_5dB.wav", "o/x.1_y_5dB.wav",
                                    "o/x.1_y_5dB.wav", "o/x.1_y_5dB.wav", "o/x.1_y_5dB_2.wav",
                                    "o/a_b_c_5dB.wav"};
  EXPECT_EQ(tavol::number_repeated_paths(paths), (std::vector<std::size_t>{1, 3, 4, 6}));
  EXPECT_EQ(paths,
            (std::vector<std::string>{"o/a_b_c_5dB.wav", "o/a_b_c_5dB_2.wav", "o/x.1_y_5dB.wav",
                                      "o/x.1_y_5dB_3.wav", "o/x.1_y_5dB_4.wav", "o/x.1_y_5dB_2.wav",
                                      "o/a_b_c_5dB_3.wav"}));
}

TEST(SynthPlan, OverlongNamesAreFoundBeforeWriting) {
  const std::string name255(251, 'a');
  EXPECT_NO_THROW(tavol::check_path_lengths({"out/" + name255 + ".wav"}, 255, 4096));
  try {
    tavol::check_path_lengths({"ok.wav", "out/" + name255 + "a.wav"}, 255, 4096);
    FAIL() << "no error";
  } catch (const tavol::InvalidArgument &e) {
    EXPECT_NE(std::string(e.what()).find("256 bytes"), std::string::npos) << e.what();
  }
  EXPECT_THROW(tavol::check_path_lengths({std::string(5000, 'a')}, 255, 4096),
               tavol::InvalidArgument);
}

TEST(SynthPlan, OutputFolderChecks) {
  const fs::path dir = tavol::testing::fresh_dir("plan", "folders");
  fs::create_directories(dir / "corpus" / "clean");
  fs::create_directories(dir / "work" / "deep");
  fs::create_directories(dir / "home");
  const tavol::ProtectedFolders protect{dir / "work" / "deep", dir / "home",
                                        dir / "work" / "deep" / "tmp_mixed"};
  const std::vector<fs::path> inputs = {dir / "corpus" / "clean" / "a.wav"};
  auto refusal = [&](const fs::path &folder) -> std::string {
    try {
      tavol::check_output_folder(folder, inputs, protect, "syn");
    } catch (const tavol::InvalidArgument &e) {
      return e.what();
    }
    return "";
  };
  EXPECT_EQ(refusal(dir / "out"), "");
  EXPECT_EQ(refusal(dir / "work" / "deep" / "out"), ""); // below the working folder is fine
  EXPECT_NE(refusal(dir / "corpus").find("holds the input"), std::string::npos);
  EXPECT_NE(refusal(dir / "corpus" / "clean" / "..").find("holds the input"), std::string::npos);
  for (const fs::path &above : {dir / "work" / "deep" / "." / "", dir / "work"})
    EXPECT_NE(refusal(above).find("working folder or one above it"), std::string::npos) << above;
  EXPECT_NE(refusal(dir / "home").find("home folder"), std::string::npos);
  EXPECT_NE(refusal("/").find("root of the file system"), std::string::npos);
  for (const char *staged : {"tmp_mixed", "tmp_mixed/out"})
    EXPECT_NE(refusal(dir / "work" / "deep" / staged).find("staging folder"), std::string::npos)
        << staged;
  fs::create_directory_symlink(dir / "work", dir / "link");
  EXPECT_NE(refusal(dir / "link").find("working folder"), std::string::npos);
  fs::remove_all(dir);
}
