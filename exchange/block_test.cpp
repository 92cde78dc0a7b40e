#include "exchange/block.h"

#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>
#include <vector>

#include "supervisor/test_support.h"

namespace davrilon {
namespace {

struct FrameCase {
  BlockKind kind;
  int number;
  std::uint8_t fill;
  std::uint8_t header;
  std::uint8_t complement;
  std::uint8_t sum;
};

class BuildBlockTest : public ::testing::TestWithParam<FrameCase> {};

TEST_P(BuildBlockTest, FramesTheDataWithoutTouchingIt) {
  const FrameCase& c = GetParam();
  std::vector<std::uint8_t> block(BlockSize(c.kind) + 4, 0xAA);
  std::fill_n(block.begin() + kDataOffset, DataSize(c.kind), c.fill);
  BuildBlock(c.kind, c.number, block);

  EXPECT_EQ(block[0], c.header);
  EXPECT_EQ(block[1], static_cast<std::uint8_t>(c.number));
  EXPECT_EQ(block[2], c.complement);
  EXPECT_EQ(block[kDataOffset + DataSize(c.kind)], c.sum);
  for (std::size_t i = kDataOffset; i < kDataOffset + DataSize(c.kind); ++i) {
    ASSERT_EQ(block[i], c.fill) << "data byte " << i;
  }
  EXPECT_EQ(block[BlockSize(c.kind)], 0xAA) << "nothing written after the sum";
}

INSTANTIATE_TEST_SUITE_P(Blocks, BuildBlockTest,
                         ::testing::Values(FrameCase{BlockKind::kShort, 255, 0xFF, 1, 0, 128},
                                           FrameCase{BlockKind::kShort, 1, 0xFF, 1, 254, 128},
                                           FrameCase{BlockKind::kLong, 2, 0xFF, 2, 253, 0},
                                           FrameCase{BlockKind::kLong, 255, 0x00, 2, 0, 0},
                                           FrameCase{BlockKind::kShort, 7, 0x01, 1, 248, 128}));

TEST(BuildBlockTest, RefusesABlockThatDoesNotFit) {
  std::vector<std::uint8_t> short_room(kShortBlockSize);
  EXPECT_THROW(BuildBlock(BlockKind::kLong, 1, short_room), std::out_of_range);
}

TEST(BlockNumberTest, TwoHundredFiftyFiveIsFollowedByOne) {
  EXPECT_EQ(NextBlockNumber(1), 2);
  EXPECT_EQ(NextBlockNumber(254), 255);
  EXPECT_EQ(NextBlockNumber(255), 1);
}

// VerifyBlock's rejections, with the exact bytes they leave in the log.
class VerifyBlockTest : public ::testing::Test {
 protected:
  VerifyBlockTest() { log.Open(dir.path() / "davrilon.log"); }
  std::string LogText() {
    log.Close();
    return dir.Read("davrilon.log");
  }
  std::vector<std::uint8_t> Short(int number) {
    std::vector<std::uint8_t> block(kShortBlockSize, 0);
    for (std::size_t i = 0; i < kShortDataSize; ++i)
      block[kDataOffset + i] = static_cast<std::uint8_t>('a' + i % 26);
    BuildBlock(BlockKind::kShort, number, block);
    return block;
  }

  TempDir dir;
  EventLog log;
};

struct RejectCase {
  const char* name;
  std::size_t offset;
  std::uint8_t value;
  std::string logged;
};

TEST_F(VerifyBlockTest, RejectsTheFirstFaultOnlyWithItsLogLine) {
  const std::uint8_t good_sum = Short(3)[131];
  const RejectCase cases[] = {
      {"number", kNumberOffset, 0xFE, "Z\xb3y numer bloku 3 \xfe\r\n"},
      {"complement", kComplementOffset, 0, "Z\xb3y drugi numer bloku\r\n"},
      {"sum", 131, static_cast<std::uint8_t>(good_sum + 1),
       "B\xb3\xea"
       "dna suma kontrolna " +
           std::to_string(good_sum) + " " + std::string(1, static_cast<char>(good_sum + 1)) +
           "\r\n"},
  };
  std::string expected;
  for (const RejectCase& c : cases) {
    std::vector<std::uint8_t> block = Short(3);
    block[c.offset] = c.value;
    EXPECT_FALSE(VerifyBlock(log, 3, block)) << c.name;
    expected += c.logged;
  }
  // A wrong number hides a wrong complement and a wrong sum.
  std::vector<std::uint8_t> all_wrong = Short(3);
  all_wrong[kNumberOffset] = 'X';
  all_wrong[kComplementOffset] = 0;
  all_wrong[131] ^= 0xFF;
  EXPECT_FALSE(VerifyBlock(log, 3, all_wrong));
  expected += "Z\xb3y numer bloku 3 X\r\n";

  EXPECT_TRUE(VerifyBlock(log, 3, Short(3)));
  EXPECT_EQ(LogText(), expected) << "acceptance logs nothing";
}

TEST_F(VerifyBlockTest, AnyHeaderByteButOneIsCheckedAsALongBlock) {
  std::string expected;
  for (std::uint8_t header : {std::uint8_t{2}, std::uint8_t{0}, std::uint8_t{0x7F}}) {
    // 1024 bytes of 255 sum to 0; as a short block the same bytes would need
    // the sum 128 at offset 131, where a 255 stands.
    std::vector<std::uint8_t> block(kLongBlockSize, 0);
    std::fill_n(block.begin() + kDataOffset, kLongDataSize, 0xFF);
    BuildBlock(BlockKind::kLong, 9, block);
    block[kHeaderByteOffset] = header;
    EXPECT_TRUE(VerifyBlock(log, 9, block)) << int{header};

    block[1027] = 1;
    EXPECT_FALSE(VerifyBlock(log, 9, block)) << int{header};
    expected +=
        "B\xb3\xea"
        "dna suma kontrolna 0 \x01\r\n";
  }
  EXPECT_EQ(LogText(), expected);
}

TEST_F(VerifyBlockTest, ALongHeaderInsideShortDataIsRejectedWithoutReadingPastIt) {
  std::vector<std::uint8_t> received = Short(4);
  received[kHeaderByteOffset] = 2;
  // Only the 132 bytes that came are handed over; a long check would need 1028.
  EXPECT_FALSE(VerifyBlock(log, 4, received));
  EXPECT_EQ(LogText(), "Blok wychodzi poza odebrane dane, bajt nag\xb3\xf3wka 2\r\n");
}

TEST(ClearTransferBufferTest, ClearsOnlyTheFirst2100Bytes) {
  TransferBuffer buffer;
  buffer.fill(0x5A);
  ClearTransferBuffer(buffer);
  EXPECT_EQ(std::count(buffer.begin(), buffer.begin() + 2100, 0), 2100);
  EXPECT_EQ(std::count(buffer.begin() + 2100, buffer.end(), 0x5A), 100);
}

TEST(CopyFieldTest, CopiesBytesAsTheyAreFromAOneBasedPosition) {
  std::vector<std::uint8_t> source(40);
  for (std::size_t i = 0; i < source.size(); ++i)
    source[i] = static_cast<std::uint8_t>('A' + i);
  source[12] = 0;  // a 0 byte inside the field does not stop the copy

  const std::string field = CopyField(source, 10, 10);
  ASSERT_EQ(field.size(), 10u);
  EXPECT_EQ(field, std::string("JKL\0NOPQRS", 10)) << "0-based offsets 9 to 18";
  EXPECT_EQ(AsText(field), "JKL") << "as a text it ends at the 0 byte";

  EXPECT_EQ(CopyField(source, 10, 0), "");
  EXPECT_EQ(CopyField(source, 10, -3), "");
  EXPECT_EQ(CopyField(source, 31, 10).size(), 10u) << "up to the last byte";
  EXPECT_THROW(CopyField(source, 32, 10), std::out_of_range);
  EXPECT_THROW(CopyField(source, 0, 1), std::out_of_range);
}

TEST(TextOperationsTest, MakeInfName) {
  EXPECT_EQ(MakeInfName("ABC.PC"), "ABC.INF");
  EXPECT_EQ(MakeInfName("X.Y.Z"), "X.INF");
  EXPECT_EQ(MakeInfName("ABC"), "ABC");
  EXPECT_EQ(MakeInfName("CENNIK_NA_SKLEP.ZIP"), "CENNIK_NA_SKLEP.INF");
  EXPECT_EQ(MakeInfName("ABCDEFGHIJKLMNOPQR.Z"), "ABCDEFGHIJKLMNOPQR.INF")
      << "longer than its name";
  EXPECT_EQ(MakeInfName(""), "");
}

TEST(TextOperationsTest, PadToWidthAndCutAtBlank) {
  EXPECT_EQ(PadToWidth("1500", 10), "1500      ");
  EXPECT_EQ(PadToWidth("12345678901", 10), "1234567890");
  EXPECT_EQ(PadToWidth("", 3), "   ");
  EXPECT_EQ(PadToWidth("-2147483648", 10), "-214748364");

  EXPECT_EQ(CutAtBlank("SPRZ0101.ZIP        "), "SPRZ0101.ZIP");
  EXPECT_EQ(CutAtBlank("NOBLANK"), "NOBLANK");
  EXPECT_EQ(CutAtBlank(" LEADING"), "");
}

TEST(ReadDecimalTest, ReadsAsTheCentreWritesNumbers) {
  const std::pair<std::string, std::int32_t> cases[] = {
      {"300       ", 300},
      {"  \t 42x", 42},
      {"-17", -17},
      {"+5", 5},
      {" 1", 1},
      {"12 34", 12},
      {"", 0},
      {"abc", 0},
      {"-", 0},
      {"0000000123", 123},
      {std::string("7\0"
                   "9",
                   3),
       7},
      {"9999999999", std::numeric_limits<std::int32_t>::max()},
      {"-9999999999", std::numeric_limits<std::int32_t>::min()},
      {"2147483647", 2147483647},
      {"-2147483648", std::numeric_limits<std::int32_t>::min()},
  };
  for (const auto& [text, value] : cases)
    EXPECT_EQ(ReadDecimal(text), value) << '"' << text << '"';
}

}  // namespace
}  // namespace davrilon
