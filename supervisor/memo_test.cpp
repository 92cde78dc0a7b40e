#include "supervisor/memo.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "supervisor/test_support.h"

namespace davrilon {
namespace {

TEST(WriteMemoTest, TheFileHoldsTheLastTextAloneWithNoLineEnd) {
  TempDir dir;
  std::filesystem::create_directories(dir.path() / "INFO");
  StoreFiles files(dir.path());
  EventLog log;
  ASSERT_TRUE(log.Open(dir.path() / "davrilon.log"));

  WriteMemo(files, log, "INFO\\ODCZYT.KAS", "Z CENTRUM 100 %");
  WriteMemo(files, log, "INFO\\ODCZYT.KAS", "DO CENTRUM 0 %");
  EXPECT_EQ(dir.Read("INFO/ODCZYT.KAS"), "DO CENTRUM 0 %");
  EXPECT_EQ(dir.Read("davrilon.log"), "");
}

TEST(WriteMemoTest, AFileThatCannotBeCreatedIsLoggedEveryTime) {
  TempDir dir;  // no INFO directory
  StoreFiles files(dir.path());
  EventLog log;
  ASSERT_TRUE(log.Open(dir.path() / "davrilon.log"));

  WriteMemo(files, log, "INFO\\ODCZYT.KAS", "Z CENTRUM 1 %");
  WriteMemo(files, log, "INFO\\ODCZYT.KAS", "Z CENTRUM 2 %");
  EXPECT_EQ(dir.Read("davrilon.log"), "Nie stworzono pliku memo\r\nNie stworzono pliku memo\r\n");
}

}  // namespace
}  // namespace davrilon
