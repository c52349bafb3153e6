// Every seed and every past finding of the description reader's fuzzer, run
// through the same check the fuzzer applies.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "DescriptionCheck.h"

namespace fs = std::filesystem;

namespace {

std::string Check(const std::string& bytes) {
  return CheckDescriptionInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

TEST(FuzzReplay, SeedsAndFindingsKeepEveryPromise) {
  int replayed = 0;
  for (const char* sub : {"corpus", "regressions"}) {
    const fs::path dir = fs::path(STB_FUZZ_DIR) / sub;
    if (!fs::exists(dir)) continue;
    for (const auto& entry : fs::directory_iterator(dir)) {
      std::ifstream in(entry.path(), std::ios::binary);
      const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      EXPECT_EQ(Check(bytes), "") << entry.path();
      ++replayed;
    }
  }
  EXPECT_GE(replayed, 10);
}

// The check itself must be able to fail, or a quiet fuzzer proves nothing.
TEST(FuzzReplay, CheckSeesAValidFileThroughToTheImageSize) {
  const std::string valid =
      "001234\r\n0A.01\r\n01.05\r\n02.00\r\n03.01\r\n04.02\r\n05.03\r\n26120\r\nspare\r\nimage.bin\r\n2\r\n0x80010000\r\n";
  EXPECT_EQ(Check(valid), "");
  const fs::path image = fs::path(DescriptionScratchFolder()) / "image.bin";
  const auto size = fs::file_size(image);
  fs::resize_file(image, 5000);
  EXPECT_NE(Check(valid), "");  // 5000 bytes round to 5120, not the 3072 the check expects
  fs::resize_file(image, size);
  EXPECT_EQ(Check(valid), "");
}

}  // namespace
