// Runs the fuzz target over a corpus folder without libFuzzer: every file as it is, cut at
// every length, and with every byte of its first 64 set to a few telling values.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s CORPUS_FOLDER\n", argv[0]);
    return 2;
  }
  std::size_t inputs = 0;
  for (const auto& item : std::filesystem::directory_iterator(argv[1])) {
    if (!item.is_regular_file()) continue;
    std::ifstream in(item.path(), std::ios::binary);
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Each input on its own heap block, so that a sanitizer sees any read past its end.
    auto run = [&](const std::vector<std::uint8_t>& input) {
      std::vector<std::uint8_t> copy(input);
      LLVMFuzzerTestOneInput(copy.empty() ? nullptr : copy.data(), copy.size());
      ++inputs;
    };
    run(bytes);
    for (std::size_t cut = 0; cut < bytes.size(); ++cut)
      run(std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(cut)));
    for (std::size_t at = 0; at < bytes.size() && at < 64; ++at) {
      for (std::uint8_t value : {0x00, 0x01, 0x0B, 0x7F, 0x80, 0xFF}) {
        std::vector<std::uint8_t> changed(bytes);
        changed[at] = value;
        run(changed);
      }
    }
  }
  std::printf("%zu inputs\n", inputs);
  return inputs ? 0 : 1;
}
