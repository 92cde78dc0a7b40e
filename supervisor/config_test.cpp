#include "supervisor/config.h"

#include <gtest/gtest.h>

#include <ostream>

namespace davrilon {
namespace {

struct CfgCase {
  const char* name;
  std::string content;
  bool port_ok;
  std::string port;
  int network;
  int modem_in_use;
  int loud;
};
// Named by its row in test listings.
void PrintTo(const CfgCase& c, std::ostream* os) {
  *os << c.name;
}

class ModemCfgWidths : public ::testing::TestWithParam<CfgCase> {};

TEST_P(ModemCfgWidths, ReadsTheFirstCharacterOfEachLineWithinItsWidth) {
  const CfgCase& c = GetParam();
  ModemCfg cfg = ParseModemCfg(c.content);
  ASSERT_EQ(cfg.port_ok, c.port_ok);
  if (!c.port_ok)
    return;
  EXPECT_EQ(cfg.config.port_name, c.port);
  EXPECT_EQ(cfg.config.network, c.network);
  EXPECT_EQ(cfg.config.modem_in_use, c.modem_in_use);
  EXPECT_EQ(cfg.config.loud, c.loud);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ModemCfgWidths,
    ::testing::Values(
        CfgCase{"single_digit_with_line_end", "5\n", true, "COM5", 0, 1, 0},
        CfgCase{"single_digit_without_line_end", "5", true, "COM5", 0, 1, 0},
        CfgCase{"port_zero", "0\n", false, "", 0, 0, 0},
        CfgCase{"empty_line_one", "\n4\n4\n1\n", false, "", 0, 0, 0},
        CfgCase{"empty_file", "", false, "", 0, 0, 0}, CfgCase{"letter", "A\n", false, "", 0, 0, 0},
        CfgCase{"network_only_loud", "3\nx\n4\n1\n", true, "COM3", 1, 0, 1},
        CfgCase{"network_and_modem_crlf", "1\r\nx\r\n3\r\n0\r\n", true, "COM1", 1, 1, 0},
        CfgCase{"only_first_character_of_mode", "2\n\n34\n1\n", true, "COM2", 1, 1, 1},
        CfgCase{"nine_character_line_two_is_whole", "2\n123456789\n4\n1\n", true, "COM2", 1, 0, 1},
        CfgCase{"ten_character_line_two_stops_reading", "2\n1234567890\n4\n1\n", true, "COM2", 0, 1,
                0},
        CfgCase{"blank_after_port_digit_stops_reading", "2 \nx\n4\n1\n", true, "COM2", 0, 1, 0},
        CfgCase{"missing_lines_read_as_empty", "9\nx\n", true, "COM9", 0, 1, 0},
        CfgCase{"later_lines_ignored", "7\nx\n1\n1\n4\n4\n", true, "COM7", 0, 1, 1}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(FixedWidthLines, LongLineGivesItsHeadAndEmptiesEverythingAfter) {
  FixedWidthLines lines("abcdefghijk\nnext\n");
  EXPECT_EQ(lines.Next(9), "abcdefghi");
  EXPECT_EQ(lines.Next(9), "");
  EXPECT_EQ(lines.Next(9), "");
}

}  // namespace
}  // namespace davrilon
