#include "supervisor/event_log.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/fakes/fake_clock.h"
#include "supervisor/test_support.h"

namespace davrilon {
namespace {

class EventLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    ASSERT_TRUE(log.Open(dir.path() / "davrilon.log"));
  }
  std::string File() { return dir.Read("davrilon.log"); }

  TempDir dir;
  EventLog log;
};

TEST_F(EventLogTest, LogLineEndsInCrLfAndIsFlushed) {
  log.Line("Przesłanych znakow ", std::uint32_t{1});
  EXPECT_EQ(File(),
            "Przes\xb3"
            "anych znakow 1\r\n");
}

TEST_F(EventLogTest, SignedAndUnsignedFormsOfTheSameBits) {
  log.Line("a ", std::int32_t{-1});
  log.Line("b ", static_cast<std::uint32_t>(-1));
  log.Line("c ", std::int32_t{0}, " ", std::uint32_t{48});
  EXPECT_EQ(File(), "a -1\r\nb 4294967295\r\nc 0 48\r\n");
}

TEST_F(EventLogTest, BareTextsWaitForTheNextLogLineAndRunIntoIt) {
  log.Bare("Port ", "COM1", " otwarty\n");
  log.Bare("ZA DUZE PRZKLAMANIA !!!");
  EXPECT_EQ(File(), "") << "bare texts are not flushed";
  log.Line("Modem jest zalączony,wartość odczytana: ", std::uint32_t{48});
  EXPECT_EQ(File(),
            "Port COM1 otwarty\r\nZA DUZE PRZKLAMANIA !!!Modem jest zal\xb9"
            "czony,warto\x9c\xe6"
            " odczytana: 48\r\n");
}

TEST_F(EventLogTest, RawBytesAreWrittenUnconvertedAndNewlinesStillBecomeCrLf) {
  std::string field =
      "\xc3\xb3"
      "ab\n";  // valid UTF-8 from the line must not be converted
  log.Line("Zły numer bloku ", std::int32_t{3}, " ", RawByte{0xFF}, Raw{field});
  EXPECT_EQ(File(),
            "Z\xb3y numer bloku 3 \xff\xc3\xb3"
            "ab\r\n\r\n");
}

TEST_F(EventLogTest, TimeStampIsFollowedByAnEmptyLine) {
  log.TimeStamp(FakeClock::kStart);
  EXPECT_EQ(File(), "Mon Mar 05 14:03:09 2001\r\n\r\n");
}

TEST_F(EventLogTest, TimeStampPadsDayAndTimeWithZeros) {
  EXPECT_EQ(EventLog::TimeStampText(0), "Thu Jan 01 00:00:00 1970\n");
}

TEST_F(EventLogTest, FullBufferReachesTheFileWithoutALogLine) {
  log.Bare(std::string(EventLog::kBufferSize, 'x'));
  EXPECT_EQ(File(), "") << "exactly a full buffer is still held";
  log.Bare("y");
  EXPECT_EQ(File(), std::string(EventLog::kBufferSize, 'x'));
  log.Close();
  EXPECT_EQ(File(), std::string(EventLog::kBufferSize, 'x') + "y") << "closing flushes";
}

TEST_F(EventLogTest, AppendsAfterWhatOthersWroteMeanwhile) {
  log.Line("first");
  {
    std::ofstream other(dir.path() / "davrilon.log", std::ios::app | std::ios::binary);
    other << "other\r\n";
  }
  log.Line("second");
  log.Close();
  EventLog again;
  ASSERT_TRUE(again.Open(dir.path() / "davrilon.log"));
  again.Line("third");
  EXPECT_EQ(File(), "first\r\nother\r\nsecond\r\nthird\r\n");
}

TEST_F(EventLogTest, NothingIsWrittenAfterClose) {
  log.Close();
  log.Line("late");
  EXPECT_EQ(File(), "");
}

}  // namespace
}  // namespace davrilon
