#include "platform/store_files.h"

#include <gtest/gtest.h>

#include "supervisor/test_support.h"

namespace davrilon {
namespace {

TEST(StoreFiles, FindsExistingEntriesIgnoringCaseComponentByComponent) {
  TempDir dir;
  dir.Write("Info/Obsluga.pc", "");
  dir.Write("KONIEC.PC", "x");
  StoreFiles files(dir.path());
  EXPECT_EQ(files.Resolve("INFO\\OBSLUGA.PC"), dir.path() / "Info" / "Obsluga.pc");
  EXPECT_TRUE(files.IsPresent("koniec.pc"));
  EXPECT_EQ(files.ReadFirstLine("koniec.pc", 9), "x");
  EXPECT_TRUE(files.Remove("Koniec.Pc"));
  EXPECT_FALSE(dir.Exists("KONIEC.PC"));
}

TEST(StoreFiles, NewFilesTakeTheCaseGivenInsideTheExistingDirectory) {
  TempDir dir;
  dir.Write("detal/.keep", "");
  StoreFiles files(dir.path());
  ASSERT_TRUE(files.WriteWhole("DETAL\\START.PC", "abc"));
  EXPECT_EQ(dir.Read("detal/START.PC"), "abc");
}

TEST(StoreFiles, ExactSpellingWinsWhenSeveralEntriesDifferOnlyInCase) {
  TempDir dir;
  dir.Write("rano.pc", "lower");
  dir.Write("RANO.PC", "upper");
  StoreFiles files(dir.path());
  EXPECT_EQ(files.ReadFirstLine("RANO.PC", 9), "upper");
  EXPECT_EQ(files.ReadFirstLine("rano.pc", 9), "lower");
  EXPECT_EQ(files.ReadFirstLine("Rano.pc", 9), "upper") << "else the first in name order";
}

TEST(StoreFiles, RemoveDeletesEverySpellingOfTheName) {
  TempDir dir;
  dir.Write("koniec.pc", "");
  dir.Write("KONIEC.PC", "");
  dir.Write("Koniec.pc.bak", "");
  StoreFiles files(dir.path());
  EXPECT_TRUE(files.Remove("koniec.pc"));
  EXPECT_FALSE(files.IsPresent("koniec.pc"));
  EXPECT_FALSE(dir.Exists("KONIEC.PC"));
  EXPECT_TRUE(dir.Exists("Koniec.pc.bak")) << "only the same name is a spelling of it";
  EXPECT_FALSE(files.Remove("koniec.pc")) << "nothing left to delete";
}

TEST(StoreFiles, DirectoryIsNotAPresentFile) {
  TempDir dir;
  dir.Write("koniec.pc/inner", "");
  EXPECT_FALSE(StoreFiles(dir.path()).IsPresent("koniec.pc"));
}

TEST(StoreFiles, FirstLineDropsCarriageReturnsAndStopsAtTheLimit) {
  TempDir dir;
  dir.Write("POSTEP.PC", "1\r2345\r\nsecond");
  StoreFiles files(dir.path());
  EXPECT_EQ(files.ReadFirstLine("POSTEP.PC", 2), "12");
  EXPECT_EQ(files.ReadFirstLine("POSTEP.PC", 80), "12345");
  EXPECT_EQ(files.ReadFirstLine("MISSING.PC", 2), std::nullopt);
}

TEST(StoreFiles, NamesFromTheLineMustStayInsideTheStore) {
  struct Case {
    const char* name;
    bool inside;
  };
  for (const Case& c :
       {Case{"CENNIK.ZIP", true}, Case{"DANE\\CENNIK.ZIP", true}, Case{"dane/./x.zip", true},
        Case{"\\WINDOWS\\X.DLL", false}, Case{"/etc/passwd", false}, Case{"C:X.ZIP", false},
        Case{"c:\\x.zip", false}, Case{"..\\X.ZIP", false}, Case{"DANE\\..\\..\\X", false},
        Case{"", false}, Case{".", false}}) {
    EXPECT_EQ(IsNameInsideStore(c.name), c.inside) << c.name;
  }
}

}  // namespace
}  // namespace davrilon
