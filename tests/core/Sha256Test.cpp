#include <gtest/gtest.h>

#include <string>

#include "Sha256.h"

namespace {

struct Vector {
  const char* name;
  std::string message;
  const char* digest;
};

class Sha256Vectors : public ::testing::TestWithParam<Vector> {};

// Whole, and fed in pieces of 7 bytes so that every block boundary falls
// inside an update.
TEST_P(Sha256Vectors, DigestWholeAndInPieces) {
  const Vector& v = GetParam();
  TSha256 whole;
  whole.Update(v.message);
  EXPECT_EQ(whole.HexDigest(), v.digest);

  TSha256 pieces;
  for (std::size_t i = 0; i < v.message.size(); i += 7) pieces.Update(std::string_view(v.message).substr(i, 7));
  EXPECT_EQ(pieces.HexDigest(), v.digest);
}

INSTANTIATE_TEST_SUITE_P(
    Known, Sha256Vectors,
    ::testing::Values(
        Vector{"empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        Vector{"abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        Vector{"two_blocks", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
               "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        // Lengths either side of where the length field no longer fits the last block.
        Vector{"a55", std::string(55, 'a'), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
        Vector{"a56", std::string(56, 'a'), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
        Vector{"a64", std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
        Vector{"million_a", std::string(1000000, 'a'),
               "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"}),
    [](const ::testing::TestParamInfo<Vector>& row) { return std::string(row.param.name); });

}  // namespace
