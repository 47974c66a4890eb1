// RIFF/WAVE writer for 16-bit PCM, written atomically (AtomicFile).
#include "tavol/wav_writer.hpp"

#include <cstdint>
#include <string>
#include <vector>

#include "tavol/atomic_file.hpp"
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

  AtomicFile out(path);
  out.write(header.data(), header.size(), interleaved, static_cast<std::size_t>(data_bytes));
  out.commit();
}

} // namespace tavol
