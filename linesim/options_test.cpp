#include "linesim/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace davrilon::linesim {
namespace {

using namespace std::chrono_literals;

TEST(OptionsTest, ReadsEveryGroup) {
  ParsedOptions parsed = ParseOptions({"--listen",
                                       "127.0.0.1:5000",
                                       "--calls",
                                       "3",
                                       "--ring-after",
                                       "0.5",
                                       "--carrier-delay",
                                       "2",
                                       "--send",
                                       "/tmp/x/CENNIK.ZIP",
                                       "--blocks-per-packet",
                                       "16",
                                       "--upload-blocks",
                                       "-1",
                                       "--request",
                                       "PREZES.PC",
                                       "--params",
                                       "30",
                                       "--corrupt-block",
                                       "2",
                                       "--nak-upload",
                                       "1:4",
                                       "--no-carrier-call",
                                       "2",
                                       "--exit-after-calls"});
  ASSERT_TRUE(parsed.options) << parsed.error;
  const SimOptions& o = *parsed.options;
  EXPECT_EQ(o.port, 5000);
  EXPECT_EQ(o.plan.calls, 3);
  EXPECT_EQ(o.plan.ring_after, 500ms);
  EXPECT_EQ(o.modem.carrier_delay, 2000ms);
  EXPECT_EQ(o.centre.download_name, "CENNIK.ZIP");
  EXPECT_EQ(o.centre.blocks_per_packet, 16);
  EXPECT_EQ(o.centre.upload_blocks, -1);
  EXPECT_EQ(o.centre.request_name, "PREZES.PC");
  EXPECT_EQ(o.centre.corrupt_block.packet, 2);
  EXPECT_EQ(o.centre.corrupt_block.times, 1);
  EXPECT_EQ(o.centre.nak_upload.packet, 1);
  EXPECT_EQ(o.centre.nak_upload.times, 4);
  EXPECT_EQ(o.plan.no_carrier_calls, std::set<int>{2});
  EXPECT_TRUE(o.exit_after_calls);
}

TEST(OptionsTest, RefusesWhatCannotBeServedOrSent) {
  const std::vector<std::vector<std::string>> bad = {
      {"--listen", "0.0.0.0:5000"},  // only the loopback address
      {"--listen", "127.0.0.1:70000"},
      {"--calls"},  // value missing
      {"--carrier-delay", "-1"},
      {"--blocks-per-packet", "0"},
      {"--upload-blocks", "100"},              // does not fit its two characters
      {"--request", "A NAME.ZIP"},             // the store cuts the name at a blank
      {"--request", "ABCDEFGHIJKLMNOPQ.ZIP"},  // 21 characters
      {"--nak-upload", "1"},                   // K:T needed
      {"--send-name", "X.ZIP"},                // without --send
      {"--params", std::string(72, 'p')},      // would not fit the block
      {"--frobnicate"},
  };
  for (const auto& args : bad) {
    ParsedOptions parsed = ParseOptions(args);
    EXPECT_FALSE(parsed.options) << args.front();
    EXPECT_FALSE(parsed.error.empty()) << args.front();
  }
}

TEST(OptionsTest, PrezesRequestAllowsLongerParameters) {
  EXPECT_TRUE(ParseOptions({"--request", "PREZES.PC", "--params", std::string(100, 'p')}).options);
  EXPECT_FALSE(ParseOptions({"--request", "X.ZIP", "--params", std::string(100, 'p')}).options);
}

TEST(OptionsTest, HelpIsNoError) {
  ParsedOptions parsed = ParseOptions({"--help"});
  EXPECT_FALSE(parsed.options);
  EXPECT_TRUE(parsed.error.empty());
}

}  // namespace
}  // namespace davrilon::linesim
