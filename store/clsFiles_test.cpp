#include "store/clsFiles.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/error.h"
#include "store/memory_list_display.h"
#include "tests/fixtures/expect_error.h"
#include "tests/fixtures/temp_folder.h"

namespace {

namespace fs = std::filesystem;
using fwtest::ExpectError;
using fwtest::ReadFile;
using fwtest::WriteFile;
using Names = std::vector<std::string>;

class ClsFilesTest : public ::testing::Test {
 protected:
  static Names Entries(const clsFiles& files) {
    MemoryListDisplay display;
    files.AddToList(display);
    return display.rows;
  }

  fwtest::TempFolder dir_;
  const std::string path_ = dir_ / "Files.dat";
};

const std::string kFFFF("\xff\xff\xff\xff", 4);

TEST_F(ClsFilesTest, SavesTheDocumentedBytes) {
  clsFiles files;
  files.SaveData(path_);
  EXPECT_EQ(ReadFile(path_), kFFFF);

  files.AddFile("");
  files.SaveData(path_);
  EXPECT_EQ(ReadFile(path_), std::string(6, '\0'));

  files.ClearAll();
  files.AddFile("ab");
  files.AddFile("");
  files.SaveData(path_);
  EXPECT_EQ(ReadFile(path_), std::string("\x01\0\0\0\x02\0ab\0\0", 10));
  EXPECT_EQ(dir_.Entries(), Names{"Files.dat"});
}

TEST_F(ClsFilesTest, RoundTripKeepsEveryByte) {
  const Names entries = {
      "http://host/dir/report.pdf",
      "",
      "https://h\xC3\xA9te.example/\xE6\x97\xA5\xE6\x9C\xAC.txt",  // UTF-8
      std::string("\xff\xfe\x80 not UTF-8 \0 with a NUL", 25),
      std::string(65535, 'x'),
      "",
  };
  clsFiles files;
  for (const auto& e : entries) files.AddFile(e);
  files.SaveData(path_);
  const std::string saved = ReadFile(path_);

  clsFiles loaded;
  loaded.AddFile("replaced by the load");
  loaded.LoadData(path_);
  EXPECT_EQ(loaded.Count(), "5");
  EXPECT_EQ(Entries(loaded), entries);

  loaded.SaveData(path_);
  EXPECT_EQ(ReadFile(path_), saved);

  // An empty list loads back empty.
  files.ClearAll();
  files.SaveData(path_);
  loaded.LoadData(path_);
  EXPECT_EQ(loaded.Count(), "-1");
}

TEST_F(ClsFilesTest, LoadingAMissingOrTinyFileGivesOneEmptyEntry) {
  clsFiles files;
  files.LoadData(path_);
  ASSERT_TRUE(fs::is_regular_file(path_));
  EXPECT_EQ(fs::file_size(path_), 0u);
  EXPECT_EQ(Entries(files), Names{""});

  // Fewer than 4 bytes: no count can be read, so it is taken as 0.
  WriteFile(path_, std::string("\x05\0\0", 3));
  files.LoadData(path_);
  EXPECT_EQ(Entries(files), Names{""});

  // Any negative count is the empty list.
  WriteFile(path_, std::string("\xfb\xff\xff\xff\x01\x00z", 7));
  files.LoadData(path_);
  EXPECT_EQ(files.Count(), "-1");
}

TEST_F(ClsFilesTest, ShortFileLoadsMissingRecordsAsEmpty) {
  clsFiles files;
  // Count 2 (three entries) but only the first record is there.
  WriteFile(path_, std::string("\x02\0\0\0\x08\0http://a", 14));
  files.LoadData(path_);
  EXPECT_EQ(Entries(files), (Names{"http://a", "", ""}));

  // A length field cut in half also leaves its entry empty.
  WriteFile(path_, std::string("\x01\0\0\0\x01\0a\x05", 8));
  files.LoadData(path_);
  EXPECT_EQ(Entries(files), (Names{"a", ""}));
}

TEST_F(ClsFilesTest, DamagedFileRaises321AndChangesNothing) {
  const Names damaged = {
      std::string("\xff\xff\xff\x7f\0\0", 6),          // 2^31 entries in 6 bytes
      std::string("\x01\0\0\0\x02\0ab\x0a\0abc", 13),  // second record runs past the end
      std::string("\x00\0\0\0\xff\xff", 6),            // 65,535 bytes promised, none there
  };
  for (const std::string& bytes : damaged) {
    WriteFile(path_, bytes);
    clsFiles files;
    files.AddFile("kept");
    fw::Error e = ExpectError(fw::kInvalidFileFormat, [&] { files.LoadData(path_); });
    EXPECT_NE(e.Description().find(path_), std::string::npos) << e.Description();
    EXPECT_EQ(ReadFile(path_), bytes);
    EXPECT_EQ(Entries(files), Names{"kept"});
  }

  // A list file that cannot be read at all (a folder) also leaves the list alone.
  fs::remove(path_);
  fs::create_directory(path_);
  clsFiles files;
  files.AddFile("kept");
  ExpectError(fw::kFileAccess, [&] { files.LoadData(path_); });
  EXPECT_EQ(Entries(files), Names{"kept"});
}

TEST_F(ClsFilesTest, FailedSaveLeavesTheOldFileWhole) {
  const std::string old = std::string("\x00\0\0\0\x03\0old", 9);
  WriteFile(path_, old);

  clsFiles files;
  files.AddFile("fine");
  files.AddFile(std::string(65536, 'y'));
  fw::Error e = ExpectError(fw::kInvalidArgument, [&] { files.SaveData(path_); });
  EXPECT_NE(e.Description().find("Entry 1"), std::string::npos) << e.Description();
  EXPECT_NE(e.Description().find("too long"), std::string::npos) << e.Description();
  EXPECT_EQ(ReadFile(path_), old);

  files.RemoveFile(1);
  ExpectError(fw::kFileAccess, [&] { files.SaveData(dir_ / "no-such-folder/Files.dat"); });

  // The rename over a folder fails after the temporary file was written.
  fs::create_directories(dir_ / "taken/inner");
  ExpectError(fw::kFileAccess, [&] { files.SaveData(dir_ / "taken"); });

  EXPECT_EQ(ReadFile(path_), old);
  EXPECT_EQ(dir_.Entries(), (Names{"Files.dat", "taken"}));
}

TEST_F(ClsFilesTest, AddReadAndWriteEntries) {
  clsFiles files;
  EXPECT_EQ(files.AddFile("a"), 0);
  EXPECT_EQ(files.AddFile("b"), 1);
  EXPECT_EQ(files.Count(), "1");
  EXPECT_EQ(files.File(1), "b");
  EXPECT_TRUE(files.IsFile(1));
  EXPECT_FALSE(files.IsFile(2));
  EXPECT_FALSE(files.IsFile(-1));

  EXPECT_EQ(files.File(5), "");
  files.File(5, "x");
  files.File(-1, "x");
  files.File(0, "A");
  EXPECT_EQ(Entries(files), (Names{"A", "b"}));

  files.ClearAll();
  EXPECT_EQ(files.Count(), "-1");
  MemoryListDisplay display;
  display.AddItem("stale");
  files.AddToList(display);
  EXPECT_EQ(display.rows, Names{}) << "the shown rows are replaced";
  EXPECT_FALSE(files.IsFile(0));
  EXPECT_FALSE(files.IsFile(-1));
  EXPECT_EQ(files.File(0), "");
  files.File(0, "x");
  EXPECT_EQ(files.Count(), "-1");
  EXPECT_EQ(files.AddFile("again"), 0);
}

TEST_F(ClsFilesTest, RemoveClosesTheGapOrRaises9) {
  clsFiles files;
  for (const char* e : {"a", "b", "c"}) files.AddFile(e);
  for (int32_t bad : {-1, 3, 1000}) {
    ExpectError(fw::kSubscriptOutOfRange, [&] { files.RemoveFile(bad); });
  }
  EXPECT_EQ(Entries(files), (Names{"a", "b", "c"}));

  files.RemoveFile(0);
  EXPECT_EQ(Entries(files), (Names{"b", "c"}));
  files.RemoveFile(1);
  files.RemoveFile(0);
  EXPECT_EQ(files.Count(), "-1");

  for (int32_t bad : {-2, -1, 0, 1}) {
    ExpectError(fw::kSubscriptOutOfRange, [&] { files.RemoveFile(bad); });
  }
  EXPECT_EQ(files.Count(), "-1");
}

}  // namespace
