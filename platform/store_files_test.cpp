#include "platform/store_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/fakes/failing_file_ops.h"
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
  ASSERT_EQ(files.WriteWhole("DETAL\\START.PC", "abc"), Written::kDone);
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

namespace fs = std::filesystem;

// Names that would lead out of the store through a link, or that name what
// is not a regular file, whichever way the name is resolved.
class BeneathTheStore : public ::testing::TestWithParam<StoreFiles::Resolution> {
 protected:
  BeneathTheStore() : files(store.path(), GetParam()) {
    outside.Write("x.txt", "outside");
    outside.Write("secret", "secret");
    store.Write("REAL.TXT", "real");
    store.Write("DANE/F.TXT", "f");
    fs::create_directory_symlink(outside.path(), store.path() / "LINK");
    fs::create_symlink(outside.path() / "secret", store.path() / "OUT.TXT");
    fs::create_symlink(store.path() / "REAL.TXT", store.path() / "INNER.TXT");
    fs::create_symlink("../REAL.TXT", store.path() / "DANE" / "UP.TXT");
    mkfifo((store.path() / "FIFO.PC").c_str(), 0644);
    // A writer that never writes: an open that waits for one would end at
    // once, so a FIFO that is wrongly opened shows as opened, not as a hang.
    fifo_holder = open((store.path() / "FIFO.PC").c_str(), O_RDWR | O_NONBLOCK);
  }
  ~BeneathTheStore() override { close(fifo_holder); }

  TempDir store;
  TempDir outside;
  StoreFiles files;
  int fifo_holder = -1;
};

TEST_P(BeneathTheStore, NoNameLeavesTheStoreOrOpensAnythingButARegularFile) {
  struct Case {
    const char* name;
    bool opens;
  };
  for (const Case& c :
       {Case{"REAL.TXT", true}, Case{"dane\\f.txt", true}, Case{"LINK\\x.txt", false},
        Case{"link\\X.TXT", false}, Case{"OUT.TXT", false}, Case{"INNER.TXT", false},
        Case{"DANE\\UP.TXT", false}, Case{"FIFO.PC", false}, Case{"DANE", false}}) {
    EXPECT_EQ(files.OpenForReading(c.name) != nullptr, c.opens) << c.name;
    EXPECT_EQ(files.IsPresent(c.name), c.opens) << c.name;
    // Should the FIFO be opened after all, its read finds a line at once.
    ASSERT_EQ(write(fifo_holder, "FIFO\n", 5), 5);
    EXPECT_EQ(files.ReadFirstLine(c.name, 80).has_value(), c.opens) << c.name;
    EXPECT_EQ(files.CreateNew(c.name, Durability::kWhole) != nullptr, c.opens) << c.name;
  }
  EXPECT_EQ(files.WriteWhole("LINK\\x.txt", "centre"), Written::kNotCreated);
  EXPECT_EQ(files.WriteWhole("OUT.TXT", "centre"), Written::kNotCreated);
  EXPECT_FALSE(files.Remove("LINK\\x.txt"));
  EXPECT_EQ(outside.Read("x.txt"), "outside");
  EXPECT_EQ(outside.Read("secret"), "secret");
  EXPECT_EQ(store.Read("REAL.TXT"), "real");
}

TEST_P(BeneathTheStore, APlantedPartLinkIsReplacedNotWrittenThrough) {
  fs::create_symlink(outside.path() / "secret", store.path() / "CENNIK.ZIP.part");
  ASSERT_EQ(files.WriteWhole("CENNIK.ZIP", "new"), Written::kDone);
  EXPECT_EQ(store.Read("CENNIK.ZIP"), "new");
  EXPECT_EQ(outside.Read("secret"), "secret");
  EXPECT_FALSE(fs::exists(fs::symlink_status(store.path() / "CENNIK.ZIP.part")));
}

INSTANTIATE_TEST_SUITE_P(StoreFiles, BeneathTheStore,
                         ::testing::Values(StoreFiles::Resolution::kKernel,
                                           StoreFiles::Resolution::kWalk),
                         [](const ::testing::TestParamInfo<StoreFiles::Resolution>& param) {
                           return param.param == StoreFiles::Resolution::kKernel ? "Kernel"
                                                                                 : "Walk";
                         });

// Whatever step of putting a new file in place fails, and whenever the power
// goes, the name holds one whole file: the previous one or the new one.
TEST(StoreFilesCommit, TheNameAlwaysHoldsOneWholeVersion) {
  using Step = FailingFileOps::Step;
  const std::string previous = "previous complete file";
  const std::string next(100000, 'n');
  struct Case {
    std::optional<Step> failing;
    bool new_version_at_end;
  };
  for (const Case& c :
       {Case{Step::kWrite, false}, Case{Step::kFlush, false}, Case{Step::kSync, false},
        Case{Step::kRename, false}, Case{Step::kSyncDirectory, true}, Case{std::nullopt, true}}) {
    for (bool existed : {true, false}) {
      TempDir dir;
      if (existed)
        dir.Write("CENNIK.ZIP", previous);
      StoreFiles files(dir.path());
      FailingFileOps ops;
      ops.name = "CENNIK.ZIP";
      ops.fail_at = c.failing;
      std::vector<std::string> seen;  // the name's content before each step
      ops.before = [&](Step) {
        seen.push_back(dir.Exists("CENNIK.ZIP") ? dir.Read("CENNIK.ZIP") : "(none)");
      };
      files.SetFileOps(ops);

      const Written written = files.WriteWhole("CENNIK.ZIP", next, Durability::kPowerCutSafe);
      const std::string label = std::to_string(c.failing ? static_cast<int>(*c.failing) : -1) +
                                (existed ? " over a file" : " new");
      EXPECT_EQ(written, c.failing ? Written::kWriteFailed : Written::kDone) << label;
      seen.push_back(dir.Exists("CENNIK.ZIP") ? dir.Read("CENNIK.ZIP") : "(none)");
      const std::string before = existed ? previous : "(none)";
      for (const std::string& content : seen)
        EXPECT_TRUE(content == before || content == next) << label << ": " << content.size();
      EXPECT_EQ(seen.back(), c.new_version_at_end ? next : before) << label;
      EXPECT_FALSE(dir.Exists("CENNIK.ZIP.part")) << label;
      if (!c.failing) {
        // The content is on the disk before it takes the name, and the name
        // is on the disk before the write returns.
        EXPECT_EQ(ops.steps, (std::vector<Step>{Step::kWrite, Step::kFlush, Step::kSync,
                                                Step::kRename, Step::kSyncDirectory}))
            << label;
      }
    }
  }
}

TEST(StoreFiles, AReplacedFileKeepsItsPermissionBitsAndANewOneGetsTheUsualMode) {
  TempDir dir;
  dir.Write("ZELPO.EXE", "old program");
  fs::permissions(dir.path() / "ZELPO.EXE", fs::perms(0750));
  StoreFiles files(dir.path());
  ASSERT_EQ(files.WriteWhole("zelpo.exe", "new program"), Written::kDone);
  ASSERT_EQ(files.WriteWhole("CENNIK.ZIP", "prices"), Written::kDone);

  const mode_t mask = umask(0);
  umask(mask);
  struct stat st {};
  ASSERT_EQ(stat((dir.path() / "ZELPO.EXE").c_str(), &st), 0) << "found in the case it has";
  EXPECT_EQ(st.st_mode & 07777, 0750u);
  EXPECT_EQ(dir.Read("ZELPO.EXE"), "new program");
  ASSERT_EQ(stat((dir.path() / "CENNIK.ZIP").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0666u & ~mask);
}

TEST(StoreFiles, TheStationsOwnFilesAreKnownInEverySpelling) {
  TempDir dir;
  dir.Write("davrilon.log", "");
  dir.Write("INFO/OBSLUGA.PC", "");
  dir.Write("DAVRILON", "the program");
  StoreFiles files(dir.path());
  files.ProtectStationFile("davrilon.log");
  files.ProtectStationFile("MODEM.CFG");  // not there yet: found by its name
  files.ProtectStationFile("INFO\\OBSLUGA.PC");
  files.ProtectStationPath(dir.path() / "DAVRILON");
  struct Case {
    const char* name;
    bool own;
  };
  for (const Case& c :
       {Case{"davrilon.log", true}, Case{"DAVRILON.LOG", true}, Case{"davrilon.log  ", true},
        Case{"modem.cfg", true}, Case{"MODEM.CFG.", true}, Case{"info\\obsluga.pc", true},
        Case{"INFO/./OBSLUGA.PC", true}, Case{"Davrilon", true}, Case{"davrilon.log.bak", false},
        Case{"DANE\\MODEM.CFG", false}, Case{"CENNIK.ZIP", false}}) {
    EXPECT_EQ(files.IsStationFile(c.name), c.own) << c.name;
    if (c.own) {
      EXPECT_EQ(files.WriteWhole(c.name, "centre"), Written::kNotCreated) << c.name;
    }
  }
  EXPECT_EQ(dir.Read("DAVRILON"), "the program");
  EXPECT_FALSE(dir.Exists("MODEM.CFG"));
}

TEST(StoreFiles, TrailingBlanksAndDotsOfEveryComponentAreDropped) {
  struct Case {
    const char* given;
    const char* taken;
  };
  for (const Case& c : {Case{"CENNIK.ZIP  ", "CENNIK.ZIP"}, Case{"CENNIK.ZIP. .", "CENNIK.ZIP"},
                        Case{"DANE. \\F.ZIP", "DANE\\F.ZIP"}, Case{"A B.ZIP", "A B.ZIP"},
                        Case{"..\\X ", "..\\X"}, Case{".", "."}}) {
    EXPECT_EQ(DropTrailingBlanksAndDots(c.given), c.taken) << c.given;
  }
}

TEST(StoreFiles, AFileStillOpenForWritingIsNotTakenUntilItsWriterClosesIt) {
  TempDir dir;
  StoreFiles files(dir.path());
  const int writer = open((dir.path() / "POSTEP.PC").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(writer, 0);
  ASSERT_EQ(write(writer, "1", 1), 1);
  EXPECT_EQ(files.TakeWhenClosed("POSTEP.PC", 2), std::nullopt);
  EXPECT_TRUE(dir.Exists("POSTEP.PC")) << "left for its writer";
  ASSERT_EQ(write(writer, "2\r\n", 3), 3);
  close(writer);
  EXPECT_EQ(files.TakeWhenClosed("postep.pc", 2), "12");
  EXPECT_FALSE(dir.Exists("POSTEP.PC"));
  EXPECT_EQ(files.TakeWhenClosed("POSTEP.PC", 2), std::nullopt) << "taken once";
}

}  // namespace
}  // namespace davrilon
