#include "linesim/centre.h"

#include <gtest/gtest.h>

#include <ostream>

#include <string>
#include <vector>

#include "platform/fakes/fake_clock.h"
#include "supervisor/test_support.h"

namespace davrilon::linesim {
namespace {

using namespace std::chrono_literals;

const std::string kEnqByte(1, '\x05');
const std::string kAckByte(1, '\x06');
const std::string kNakByte(1, '\x15');

// Bytes 0, 1, 2, ... 255, 0, 1, ...: every value on the line.
std::string Pattern(std::size_t size) {
  std::string data(size, '\0');
  for (std::size_t i = 0; i < size; ++i)
    data[i] = static_cast<char>(i * 7 % 256);
  return data;
}

unsigned At(const std::string& bytes, std::size_t offset) {
  return static_cast<unsigned char>(bytes.at(offset));
}

// A text field of a block by 1-based position, as the station reads it.
std::string Field(const std::string& block, std::size_t pos, std::size_t length) {
  return block.substr(pos - 1, length);
}

// The station's check of a short block: framing, number, complement, sum.
void ExpectGoodShortBlock(const std::string& block, unsigned number) {
  ASSERT_EQ(block.size(), 132u);
  EXPECT_EQ(At(block, 0), 1u);
  EXPECT_EQ(At(block, 1), number);
  EXPECT_EQ(At(block, 2), 255u - number);
  unsigned sum = 0;
  for (std::size_t i = 3; i < 131; ++i)
    sum += At(block, i);
  EXPECT_EQ(At(block, 131), sum % 256) << "block " << number;
}

// A long block as the station builds it, written out by hand.
std::string LongBlock(unsigned number, const std::string& data) {
  std::string block(1028, '\0');
  block[0] = 2;
  block[1] = static_cast<char>(number);
  block[2] = static_cast<char>(255 - number);
  block.replace(3, std::min<std::size_t>(data.size(), 1024), data.substr(0, 1024));
  unsigned sum = 0;
  for (std::size_t i = 3; i < 1027; ++i)
    sum += static_cast<unsigned char>(block[i]);
  block[1027] = static_cast<char>(sum % 256);
  return block;
}

std::string UploadHeader(long long size, const std::string& name, unsigned number = 2) {
  auto pad = [](std::string text) {
    text.resize(10, ' ');
    return text;
  };
  return LongBlock(number,
                   "START1" + pad(std::to_string(size)) + pad(std::to_string(size)) + name + "#");
}

class CentreTest : public ::testing::Test {
 protected:
  void Start(CentreSettings settings) {
    settings.store_dir = dir_.path();
    centre_ = std::make_unique<Centre>(clock_, log_, std::move(settings), report_);
    centre_->BeginCall(1);
    centre_->OnConnected();
  }
  // The station sends `bytes`; what the centre answers.
  std::string Say(const std::string& bytes) {
    centre_->OnBytes(bytes);
    return centre_->TakeOutput();
  }
  void Wait(Millis span) {
    clock_.Advance(span);
    centre_->Poll();
  }
  // Runs the download and the request as a well-behaved station would.
  void ThroughRequest() {
    std::string got = Say(kEnqByte);
    while (centre_->phase() == Centre::Phase::kDownload)
      got = Say(kAckByte);
    ASSERT_EQ(centre_->phase(), Centre::Phase::kAwaitSecondEnquiry);
    ASSERT_EQ(Say(kEnqByte).size(), 132u);
    ASSERT_EQ(Say(kAckByte), "");
  }

  FakeClock clock_;
  SimLog log_{clock_, nullptr};
  Report report_;
  TempDir dir_;
  std::unique_ptr<Centre> centre_;
};

CentreSettings Download(std::string data, std::string name, int blocks_per_packet) {
  CentreSettings s;
  s.download = std::move(data);
  s.download_name = std::move(name);
  s.blocks_per_packet = blocks_per_packet;
  return s;
}

TEST_F(CentreTest, HeaderBlockCarriesSizesCountsAndName) {
  CentreSettings s = Download(Pattern(300), "DANE.ZIP", 2);
  s.size_before = 1000;
  s.upload_blocks = 1;
  Start(s);
  std::string header = Say(kEnqByte);
  ExpectGoodShortBlock(header, 1);
  EXPECT_EQ(Field(header, 10, 10), "1000      ");
  EXPECT_EQ(Field(header, 20, 10), "300       ");
  EXPECT_EQ(Field(header, 30, 2), "2 ");
  EXPECT_EQ(Field(header, 32, 2), "1 ");
  EXPECT_EQ(Field(header, 34, 9), "DANE.ZIP#");
}

TEST_F(CentreTest, NoFileGivesZeroSizeAndAnEmptyName) {
  Start(CentreSettings{});
  std::string header = Say(kEnqByte);
  ExpectGoodShortBlock(header, 1);
  EXPECT_EQ(Field(header, 20, 10), "0         ");
  EXPECT_EQ(Field(header, 34, 1), "#");
  EXPECT_EQ(Say(kAckByte), "") << "nothing follows the header";
  EXPECT_EQ(centre_->phase(), Centre::Phase::kAwaitSecondEnquiry);
}

TEST_F(CentreTest, PacketsCarryTheFileInOrderAndThePaddingIsZero) {
  const std::string file = Pattern(300);
  Start(Download(file, "DANE.ZIP", 2));
  Say(kEnqByte);
  std::string first = Say(kAckByte);
  std::string second = Say(kAckByte);
  ASSERT_EQ(first.size(), 264u);
  ASSERT_EQ(second.size(), 264u);
  std::string data;
  for (std::size_t b = 0; b < 2; ++b) {
    ExpectGoodShortBlock(first.substr(b * 132, 132), 2);
    ExpectGoodShortBlock(second.substr(b * 132, 132), 3);
    data += first.substr(b * 132 + 3, 128);
  }
  data += second.substr(3, 128) + second.substr(132 + 3, 128);
  EXPECT_EQ(data.substr(0, 300), file);
  EXPECT_EQ(data.substr(300), std::string(212, '\0'));
  EXPECT_EQ(Say(kAckByte), "") << "the store sends ENQ next";
  EXPECT_EQ(centre_->phase(), Centre::Phase::kAwaitSecondEnquiry);
}

TEST_F(CentreTest, NakBringsTheSamePacketAgainAndIsCounted) {
  Start(Download(Pattern(300), "DANE.ZIP", 2));
  std::string header = Say(kEnqByte);
  EXPECT_EQ(Say(kNakByte), header);
  std::string packet = Say(kAckByte);
  EXPECT_EQ(Say(kNakByte), packet);
  EXPECT_EQ(Say(kNakByte), packet);
  Say(kAckByte);
  Say(kAckByte);
  centre_->EndCall("test");
  EXPECT_EQ(report_.lines().front(), "call 1: download acked=3 naked=3");
}

TEST_F(CentreTest, BlockNumbersWrapFrom255To1) {
  Start(Download(Pattern(260 * 128), "BIG.ZIP", 1));
  EXPECT_EQ(At(centre_->DataPacket(253), 1), 254u);
  EXPECT_EQ(At(centre_->DataPacket(254), 1), 255u);
  EXPECT_EQ(At(centre_->DataPacket(254), 2), 0u);
  EXPECT_EQ(At(centre_->DataPacket(255), 1), 1u);
  EXPECT_EQ(At(centre_->DataPacket(255), 2), 254u);
  EXPECT_EQ(At(centre_->DataPacket(256), 1), 2u);
}

struct RequestCase {
  const char* name;
  std::optional<std::string> request;
  std::string params;
  std::string name_field;
  std::size_t params_at;
};
// Named by its row in test listings.
void PrintTo(const RequestCase& c, std::ostream* os) {
  *os << c.name;
}

class RequestBlockTest : public CentreTest, public ::testing::WithParamInterface<RequestCase> {};

TEST_P(RequestBlockTest, FieldsSitWhereTheStoreLooks) {
  CentreSettings s;
  s.request_name = GetParam().request;
  s.params = GetParam().params;
  Start(s);
  Say(kEnqByte);
  Say(kAckByte);
  std::string block = Say(kEnqByte);
  ExpectGoodShortBlock(block, 1);
  EXPECT_EQ(Field(block, 4, 6), "START2");
  EXPECT_EQ(Field(block, 10, 20), GetParam().name_field);
  const std::string& params = GetParam().params;
  EXPECT_EQ(Field(block, GetParam().params_at, params.size() + 1), params + "#");
  EXPECT_EQ(block.find('#'), GetParam().params_at - 1 + params.size()) << "no '#' before";
  EXPECT_EQ(Say(kNakByte), block);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, RequestBlockTest,
    ::testing::Values(
        RequestCase{"Ordinary", "SPRZ0101.ZIP", "7", "SPRZ0101.ZIP        ", 60},
        RequestCase{"Prezes", "PREZES.PC", "30", "PREZES.PC           ", 30},
        RequestCase{"PrezesInsideALongerName", "X_PREZES.PC", "", "X_PREZES.PC         ", 30},
        RequestCase{"LowerCaseIsOrdinary", "prezes.pc", "1", "prezes.pc           ", 60},
        RequestCase{"NamesNoFile", std::nullopt, "CENNIK", std::string(20, ' '), 60},
        RequestCase{"FullWidthName", "ABCDEFGHIJKLMNOP.ZIP", "", "ABCDEFGHIJKLMNOP.ZIP", 60}),
    [](const auto& test) { return std::string(test.param.name); });

class CentreUploadTest : public CentreTest {
 protected:
  void SetUp() override {
    CentreSettings s = Download(Pattern(200), "CENNIK.ZIP", 4);
    s.request_name = "SPRZ0101.ZIP";
    s.upload_blocks = 2;
    SetUpWith(s);
  }
  void SetUpWith(CentreSettings s) {
    Start(std::move(s));
    ThroughRequest();
  }
  // Two long blocks of `data` from `offset`, numbered `number`.
  std::string Packet(const std::string& data, std::size_t offset, unsigned number) {
    std::string packet;
    for (std::size_t b = 0; b < 2; ++b) {
      std::size_t at = offset + b * 1024;
      packet += LongBlock(number, at < data.size() ? data.substr(at, 1024) : std::string());
    }
    return packet;
  }
  std::string Stored(const std::string& name) { return dir_.Read(name); }

  const std::string upload_ = Pattern(2500);
};

TEST_F(CentreUploadTest, CodesHeaderAndPacketsAreVerifiedAndTheFileStored) {
  for (char code : std::string("\x0b\x0c\x0d\x0e\x0e"))
    EXPECT_EQ(Say(std::string(1, code)), "");
  EXPECT_EQ(Say(UploadHeader(2500, "SPRZ0101.ZIP")), kAckByte);
  EXPECT_EQ(Say(Packet(upload_, 0, 3)), kAckByte);
  // The last packet's unused tail holds whatever the store's buffer held.
  std::string last = LongBlock(4, upload_.substr(2048) + std::string(572, 'x')) +
                     LongBlock(4, std::string(1024, 'y'));
  EXPECT_EQ(Say(last), kAckByte);
  EXPECT_EQ(Stored("SPRZ0101.ZIP"), upload_);
  EXPECT_EQ(centre_->phase(), Centre::Phase::kAwaitHangUp);
  centre_->EndCall("the station hung up");
  EXPECT_EQ(report_.lines(),
            (std::vector<std::string>{
                "call 1: download acked=2 naked=0", "call 1: request acked=1 naked=0",
                "call 1: codes 11 12 13 14 14", "call 1: upload stored SPRZ0101.ZIP 2500 bytes",
                "call 1: upload acked=3 naked=0 silent=0", "call 1: end: the station hung up"}));
}

TEST_F(CentreUploadTest, BadBlocksAreRefusedAndTheRepeatAccepted) {
  Say(UploadHeader(2500, "SPRZ0101.ZIP"));
  std::string good = Packet(upload_, 0, 3);
  std::string bad_sum = good;
  bad_sum[1028 + 10] ^= 1;
  std::string bad_number = Packet(upload_, 0, 4);
  std::string bad_complement = good;
  bad_complement[2] = 0;
  EXPECT_EQ(Say(bad_sum), kNakByte);
  EXPECT_EQ(Say(bad_number), kNakByte);
  EXPECT_EQ(Say(bad_complement), kNakByte);
  EXPECT_EQ(Say(good), kAckByte);
  EXPECT_EQ(Say(Packet(upload_, 2048, 4)), kAckByte);
  EXPECT_EQ(Stored("SPRZ0101.ZIP"), upload_);
}

TEST_F(CentreUploadTest, AShortPacketIsRefusedAfterItsGap) {
  Say(UploadHeader(2500, "SPRZ0101.ZIP"));
  std::string packet = Packet(upload_, 0, 3);
  EXPECT_EQ(Say(packet.substr(0, 1500)), "");
  clock_.Advance(kPacketGap - 1ms);
  centre_->Poll();
  EXPECT_EQ(centre_->TakeOutput(), "");
  Wait(1ms);
  EXPECT_EQ(centre_->TakeOutput(), kNakByte);
  EXPECT_EQ(Say(packet), kAckByte) << "the repeat is read from its start";
}

TEST_F(CentreUploadTest, HeaderOfNoUploadEndsTheExchange) {
  EXPECT_EQ(Say(UploadHeader(0, "")), kAckByte);
  EXPECT_EQ(centre_->phase(), Centre::Phase::kAwaitHangUp);
  centre_->EndCall("x");
  EXPECT_EQ(report_.lines()[3], "call 1: upload none");
  EXPECT_EQ(report_.lines()[4], "call 1: upload name '' differs from the request 'SPRZ0101.ZIP'");
}

TEST_F(CentreUploadTest, BadHeadersAreRefused) {
  EXPECT_EQ(Say(UploadHeader(2500, "SPRZ0101.ZIP", 3)), kNakByte) << "number 3";
  std::string no_tag = LongBlock(2, "START9" + std::string(20, ' ') + "A#");
  EXPECT_EQ(Say(no_tag), kNakByte);
  std::string no_end = LongBlock(2, "START1" + std::string(20, ' ') + std::string(30, 'A'));
  EXPECT_EQ(Say(no_end), kNakByte);
  EXPECT_EQ(Say(UploadHeader(kMaxUploadBytes + 1, "HUGE.ZIP")), kNakByte);
  EXPECT_EQ(centre_->phase(), Centre::Phase::kAwaitUploadHeader);
}

TEST_F(CentreUploadTest, NameFromTheLineCannotLeaveTheStoreDirectory) {
  Say(UploadHeader(10, "..\\../EVIL.ZIP"));
  Say(LongBlock(3, "0123456789") + LongBlock(3, ""));
  EXPECT_EQ(Stored("EVIL.ZIP"), "0123456789");
  EXPECT_FALSE(std::filesystem::exists(dir_.path().parent_path() / "EVIL.ZIP"));
}

// Download faults: the first `times` sendings of a packet are spoiled, later ones are good.
struct DownloadFaultCase {
  const char* name;
  Fault CentreSettings::*fault;
  int packet;
  int times;
};
// Named by its row in test listings.
void PrintTo(const DownloadFaultCase& c, std::ostream* os) {
  *os << c.name;
}

class DownloadFaultTest : public CentreTest,
                          public ::testing::WithParamInterface<DownloadFaultCase> {};

TEST_P(DownloadFaultTest, SpoilsTheFirstSendingsOfThePacketOnly) {
  const std::string file = Pattern(1000);
  CentreSettings clean = Download(file, "DANE.ZIP", 2);
  CentreSettings faulty = clean;
  faulty.*GetParam().fault = Fault{GetParam().packet, GetParam().times};
  Centre reference(clock_, log_, clean, report_);
  Start(faulty);
  std::string good_packet = GetParam().packet == 0 ? reference.DownloadHeaderBlock()
                                                   : reference.DataPacket(GetParam().packet);

  std::string got = Say(kEnqByte);
  for (int p = 1; p <= GetParam().packet; ++p)
    got = Say(kAckByte);
  for (int t = 0; t < GetParam().times; ++t) {
    EXPECT_FALSE(got.empty()) << "sending " << t + 1;
    EXPECT_NE(got, good_packet) << "sending " << t + 1;
    got = Say(kNakByte);
  }
  EXPECT_EQ(got, good_packet);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, DownloadFaultTest,
    ::testing::Values(DownloadFaultCase{"CorruptHeader", &CentreSettings::corrupt_block, 0, 1},
                      DownloadFaultCase{"CorruptData", &CentreSettings::corrupt_block, 2, 3},
                      DownloadFaultCase{"WrongNumber", &CentreSettings::wrong_number, 1, 1},
                      DownloadFaultCase{"ShortPacket", &CentreSettings::short_packet, 3, 2}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(CentreTest, FaultsSpoilWhatTheyNameAndNothingElse) {
  CentreSettings clean = Download(Pattern(1000), "DANE.ZIP", 2);
  Centre reference(clock_, log_, clean, report_);
  std::string good = reference.DataPacket(1);

  CentreSettings s = clean;
  s.corrupt_block = Fault{1, 1};
  Start(s);
  Say(kEnqByte);
  std::string corrupt = Say(kAckByte);
  ASSERT_EQ(corrupt.size(), good.size());
  EXPECT_EQ(corrupt.substr(0, 132), good.substr(0, 132)) << "only the second block";
  EXPECT_EQ(corrupt.substr(132, 3), good.substr(132, 3)) << "framing kept";
  EXPECT_NE(corrupt.substr(132 + 3, 128), good.substr(132 + 3, 128));
  EXPECT_EQ(corrupt[131 + 132], good[131 + 132]) << "the sum no longer fits the data";

  s = clean;
  s.wrong_number = Fault{1, 1};
  Start(s);
  Say(kEnqByte);
  std::string renumbered = Say(kAckByte);
  EXPECT_EQ(At(renumbered, 1), 2u);
  EXPECT_EQ(At(renumbered, 132 + 1), 3u) << "last block numbered one too high";
  EXPECT_EQ(At(renumbered, 132 + 2), 252u) << "with a fitting complement";

  s = clean;
  s.short_packet = Fault{1, 1};
  Start(s);
  Say(kEnqByte);
  EXPECT_EQ(Say(kAckByte), good.substr(0, good.size() - 66));
}

TEST_F(CentreTest, SilenceAfterAPacketSwallowsTheNextRequests) {
  CentreSettings s = Download(Pattern(1000), "DANE.ZIP", 2);
  s.silent_after = Fault{1, 2};
  Start(s);
  Say(kEnqByte);
  std::string first = Say(kAckByte);
  EXPECT_EQ(Say(kAckByte), "") << "ACK of packet 1 unanswered";
  EXPECT_EQ(Say(kNakByte), "") << "the store's NAK unanswered";
  std::string second = Say(kNakByte);
  EXPECT_EQ(At(second, 1), 3u) << "then packet 2 after all";
  EXPECT_EQ(second.size(), first.size());
}

TEST_F(CentreTest, FaultsMayBeKeptToOneCall) {
  CentreSettings s = Download(Pattern(1000), "DANE.ZIP", 2);
  s.silent_after = Fault{1, 1};
  s.corrupt_block = Fault{1, 1};
  s.faults_on_call = 2;
  Start(s);  // call 1: no faults
  Say(kEnqByte);
  std::string clean = Say(kAckByte);
  EXPECT_NE(Say(kAckByte), "") << "call 1 is not silenced";
  centre_->BeginCall(2);
  centre_->OnConnected();
  Say(kEnqByte);
  EXPECT_NE(Say(kAckByte), clean) << "call 2 gets the corrupted packet";
  EXPECT_EQ(Say(kAckByte), "") << "and the silence";
}

TEST_F(CentreTest, SilenceAfterTheLastPacketLeavesTheSecondEnquiryUnanswered) {
  CentreSettings s = Download(Pattern(100), "DANE.ZIP", 1);
  s.silent_after = Fault{1, 1};
  Start(s);
  Say(kEnqByte);
  Say(kAckByte);
  EXPECT_EQ(Say(kAckByte + kEnqByte), "");
  EXPECT_EQ(Say(kEnqByte).size(), 132u);
}

struct UploadFaultCase {
  const char* name;
  Fault CentreSettings::*fault;
  int packet;
  int times;
  std::string wrong_reply;
};
// Named by its row in test listings.
void PrintTo(const UploadFaultCase& c, std::ostream* os) {
  *os << c.name;
}

class UploadFaultTest : public CentreUploadTest,
                        public ::testing::WithParamInterface<UploadFaultCase> {
 protected:
  void SetUp() override {
    CentreSettings s = Download(Pattern(200), "CENNIK.ZIP", 4);
    s.request_name = "SPRZ0101.ZIP";
    s.upload_blocks = 2;
    s.*GetParam().fault = Fault{GetParam().packet, GetParam().times};
    SetUpWith(s);
  }
};

TEST_P(UploadFaultTest, AGoodPacketGetsTheWrongReplyTTimesThenAck) {
  std::vector<std::string> sends = {UploadHeader(2500, "SPRZ0101.ZIP"), Packet(upload_, 0, 3),
                                    Packet(upload_, 2048, 4)};
  for (int p = 0; p < 3; ++p) {
    if (p == GetParam().packet) {
      for (int t = 0; t < GetParam().times; ++t)
        EXPECT_EQ(Say(sends[static_cast<std::size_t>(p)]), GetParam().wrong_reply);
    }
    EXPECT_EQ(Say(sends[static_cast<std::size_t>(p)]), kAckByte) << "packet " << p;
  }
  EXPECT_EQ(Stored("SPRZ0101.ZIP"), upload_);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, UploadFaultTest,
    ::testing::Values(UploadFaultCase{"NakHeader", &CentreSettings::nak_upload, 0, 2, kNakByte},
                      UploadFaultCase{"NakData", &CentreSettings::nak_upload, 1, 4, kNakByte},
                      UploadFaultCase{"SilentHeader", &CentreSettings::silent_upload, 0, 1, ""},
                      UploadFaultCase{"SilentLast", &CentreSettings::silent_upload, 2, 3, ""}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(CentreTest, GivesUpWhenTheStoreFallsSilent) {
  Start(CentreSettings{});
  Wait(kEnquiryWait - 1ms);
  EXPECT_FALSE(centre_->wants_hang_up());
  Wait(1ms);
  EXPECT_TRUE(centre_->wants_hang_up());
  EXPECT_EQ(centre_->give_up_reason(), "nothing came while waiting for the first ENQ");
}

TEST_F(CentreTest, WaitsBoundedlyForTheHangUpAfterTheExchange) {
  CentreSettings s;
  s.hangup_wait = 5s;
  Start(s);
  ThroughRequest();
  Say(UploadHeader(0, ""));
  EXPECT_EQ(centre_->NextDeadline(), clock_.Monotonic() + 5s);
  Wait(5s);
  EXPECT_TRUE(centre_->wants_hang_up());
  EXPECT_EQ(centre_->give_up_reason(), "the station did not hang up");
}

TEST_F(CentreTest, RelayMayTakeLongerThanTheStoresLimit) {
  CentreSettings s;
  s.request_name = "SPRZ0101.ZIP";
  Start(s);
  ThroughRequest();
  Wait(300s);
  Say("\x0e");
  Wait(10s);
  EXPECT_FALSE(centre_->wants_hang_up());
  EXPECT_EQ(centre_->codes(), std::vector<int>{14});
}

}  // namespace
}  // namespace davrilon::linesim
