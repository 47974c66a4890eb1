#include "tavol/manifest.hpp"
#include "temp_dir.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tavol/errors.hpp"

namespace fs = std::filesystem;

namespace {

void touch(const fs::path &p, std::size_t bytes = 10) {
  fs::create_directories(p.parent_path());
  std::ofstream(p) << std::string(bytes, 'x');
}

tavol::ManifestRow mixture(const fs::path &out, const fs::path &clean, const std::string &noise,
                           double snr, std::size_t offset) {
  tavol::ManifestRow row;
  row.job.output = out;
  row.job.clean = clean.string();
  row.job.noise = noise;
  row.job.snr_db = snr;
  row.job.offset = offset;
  row.fit = tavol::NoiseFit::Excerpt;
  row.samples = 3;
  return row;
}

std::string message_of(const std::string &csv, const fs::path &out, const fs::path &base) {
  try {
    tavol::manifest_rows(tavol::parse_csv(csv), out, base);
  } catch (const tavol::InvalidArgument &e) {
    return e.what();
  }
  return "";
}

} // namespace

// Rows written with relative paths read back as the same rows, after the
// corpora and outputs moved together; quoting keeps commas and quotes.
TEST(Manifest, RoundTripAfterAMove) {
  const fs::path dir = tavol::testing::fresh_dir("manifest", "trip");
  touch(dir / "a" / "clean" / "c,1.wav");
  touch(dir / "a" / "noise" / "n\"q.wav");
  std::vector<tavol::ManifestRow> rows;
  rows.push_back(mixture(dir / "a" / "out" / "s" / "m.wav", dir / "a" / "clean" / "c,1.wav",
                         (dir / "a" / "noise" / "n\"q.wav").string(), -2.5, 17));
  rows[0].job.definition = tavol::SnrDefinition::Active;
  rows[0].job.noise_only = true;
  rows[0].stats = tavol::MixStats{0.01, 0.99, 0.123456789012345678, 0.99, 4, 32437, 0.1 / 3};
  tavol::ManifestRow stage = mixture("tmp_mixed/x.wav", dir / "a" / "noise" / "n\"q.wav",
                                     (dir / "a" / "clean" / "c,1.wav").string(), 5, 0);
  stage.kind = tavol::RowKind::Stage;
  rows.push_back(stage);
  rows.push_back(mixture(dir / "a" / "out" / "t.wav", dir / "a" / "clean" / "c,1.wav",
                         "tmp_mixed/x.wav", 0, 2));
  tavol::ManifestRow copy;
  copy.kind = tavol::RowKind::RawCopy;
  copy.job.output = dir / "a" / "out" / "RAW_DATA" / "c,1_raw.wav";
  copy.job.clean = (dir / "a" / "clean" / "c,1.wav").string();
  rows.push_back(copy);

  const std::string csv = tavol::manifest_csv(rows, dir / "a" / "out", dir / "a" / "out");
  EXPECT_NE(csv.find("\"../clean/c,1.wav\""), std::string::npos) << csv;
  fs::rename(dir / "a", dir / "b");
  const auto back =
      tavol::manifest_rows(tavol::parse_csv(csv), dir / "b" / "out", dir / "b" / "out");
  ASSERT_EQ(back.size(), rows.size());
  EXPECT_EQ(back[0].job.output, dir / "b" / "out" / "s" / "m.wav");
  EXPECT_EQ(back[0].job.noise, (dir / "b" / "noise" / "n\"q.wav").string());
  EXPECT_EQ(back[0].job.snr_db, -2.5);
  EXPECT_EQ(back[0].job.offset, 17u);
  EXPECT_TRUE(back[0].job.noise_only);
  EXPECT_EQ(back[0].job.definition, tavol::SnrDefinition::Active);
  EXPECT_EQ(back[1].kind, tavol::RowKind::Stage);
  EXPECT_EQ(back[2].job.noise, "tmp_mixed/x.wav"); // a reference to the stage row
  EXPECT_TRUE(back[3].copies());
  EXPECT_EQ(back[3].job.clean, (dir / "b" / "clean" / "c,1.wav").string());
  // Measured values are written with every digit.
  EXPECT_NE(csv.find("0.12345678901234568"), std::string::npos);
  const auto groups = tavol::rows_by_noise(back);
  EXPECT_EQ(groups, (std::vector<std::vector<std::size_t>>{{0}, {2}}));
  fs::remove_all(dir);
}

// A render keeps the manifest's order while the noises would stay decoded,
// and groups the mixtures by noise once they would not; copies and stage rows
// are never in it.
TEST(Manifest, RenderOrderKeepsTheRowsOrderWhileTheNoisesFit) {
  const fs::path dir = tavol::testing::fresh_dir("manifest", "order");
  touch(dir / "a.wav", 100);
  touch(dir / "b.wav", 100);
  std::vector<tavol::ManifestRow> rows(6);
  const char *noises[] = {"a.wav", "b.wav", "", "a.wav", "b.wav", ""};
  for (std::size_t i = 0; i < rows.size(); ++i)
    rows[i].job.noise = (dir / noises[i]).string();
  rows[2].kind = tavol::RowKind::RawCopy;
  rows[5].kind = tavol::RowKind::Stage;
  for (auto [cache, order] :
       {std::pair<std::size_t, std::vector<std::size_t>>{1 << 20, {0, 1, 3, 4}},
        {6400, {0, 1, 3, 4}}, // 2 x 100 bytes x 8 is a quarter of it
        {6396, {0, 3, 1, 4}}})
    EXPECT_EQ(tavol::render_order(rows, cache), order) << cache;
  fs::remove_all(dir);
}

TEST(Manifest, BadRowsNameTheRowAndTheColumn) {
  const fs::path dir = tavol::testing::fresh_dir("manifest", "bad");
  touch(dir / "c.wav");
  touch(dir / "n.wav");
  const std::string header = "output,kind,clean,noise,snr_db,snr_definition,noise_only,fit,offset,"
                             "samples,rate,clipping\n";
  const std::string good =
      "m.wav,mixture,c.wav,n.wav,5,power,False,excerpt,3,16000,16000,saturate\n";
  EXPECT_EQ(message_of(header + good + good, dir, dir), "");
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"m.wav,mixture,c.wav,n.wav,nan,power,False,excerpt,3,16000,16000,saturate\n",
       "row 1, column 'snr_db'"},
      {"m.wav,mixture,c.wav,n.wav,5,power,False,excerpt,1.5,16000,16000,saturate\n",
       "row 1, column 'offset'"},
      {"../m.wav,mixture,c.wav,n.wav,5,power,False,excerpt,3,16000,16000,saturate\n",
       "row 1, column 'output'"},
      {"/tmp/m.wav,mixture,c.wav,n.wav,5,power,False,excerpt,3,16000,16000,saturate\n",
       "row 1, column 'output'"},
      {"m.wav,mixture,c.wav,gone.wav,5,power,False,excerpt,3,16000,16000,saturate\n",
       "row 1, column 'noise'"},
      {"m.wav,mixture,c.wav,n.wav,5,loud,False,excerpt,3,16000,16000,saturate\n",
       "row 1, column 'snr_definition'"},
      {"m.wav,mixture,c.wav,n.wav,5,power,False,excerpt,3,16000,8000,saturate\n",
       "row 1, column 'rate'"},
  };
  for (const auto &[row, expected] : cases)
    EXPECT_NE(message_of(header + good + row, dir, dir).find(expected), std::string::npos) << row;
  EXPECT_NE(message_of("output,kind\nm.wav,mixture\n", dir, dir).find("no column 'clean'"),
            std::string::npos);
  fs::remove_all(dir);
}

TEST(Manifest, IncompleteOutputsAreFound) {
  const fs::path dir = tavol::testing::fresh_dir("manifest", "complete");
  tavol::ManifestRow row = mixture(dir / "m.wav", dir / "c.wav", "n.wav", 0, 0);
  EXPECT_FALSE(tavol::output_complete(row));
  touch(dir / "m.wav", 44 + 2 * 3);
  EXPECT_TRUE(tavol::output_complete(row));
  touch(dir / "m.wav", 44 + 2 * 2);
  EXPECT_FALSE(tavol::output_complete(row));
  fs::remove_all(dir);
}

TEST(Manifest, AtomicWritesReplaceWholeFiles) {
  const fs::path dir = tavol::testing::fresh_dir("manifest", "atomic");
  tavol::write_text_atomically(dir / "m.csv", "one\n");
  tavol::write_text_atomically(dir / "m.csv", "two\n");
  tavol::copy_file_atomically(dir / "m.csv", dir / "copy.csv");
  std::ifstream in(dir / "copy.csv");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, "two\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 2);
  EXPECT_THROW(tavol::write_text_atomically(dir / "no" / "m.csv", "x"), tavol::IoError);
  fs::remove_all(dir);
}
