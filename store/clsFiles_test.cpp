#include "store/clsFiles.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/error.h"
#include "store/memory_list_display.h"

namespace {

namespace fs = std::filesystem;

class ClsFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "fetchwell-files-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    path_ = dir_ + "/Files.dat";
  }
  void TearDown() override { fs::remove_all(dir_); }

  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  static void Write(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
  }
  std::vector<std::string> FolderNames() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename());
    return names;
  }
  static std::vector<std::string> Entries(const clsFiles& files) {
    MemoryListDisplay display;
    files.AddToList(display);
    return display.rows;
  }

  std::string dir_;
  std::string path_;
};

// Runs `action`, expecting it to raise fw::Error `number`; returns the error.
template <typename F>
fw::Error ExpectError(int number, F action) {
  try {
    action();
  } catch (const fw::Error& e) {
    EXPECT_EQ(e.Number(), number) << e.Description();
    return e;
  }
  ADD_FAILURE() << "expected fw::Error " << number;
  return fw::Error(0, "");
}

const std::string kFFFF("\xff\xff\xff\xff", 4);

TEST_F(ClsFilesTest, SavesTheDocumentedBytes) {
  clsFiles files;
  files.SaveData(path_);
  EXPECT_EQ(Read(path_), kFFFF);

  files.AddFile("");
  files.SaveData(path_);
  EXPECT_EQ(Read(path_), std::string(6, '\0'));

  files.ClearAll();
  files.AddFile("ab");
  files.AddFile("");
  files.SaveData(path_);
  EXPECT_EQ(Read(path_), std::string("\x01\0\0\0\x02\0ab\0\0", 10));
  EXPECT_EQ(FolderNames(), std::vector<std::string>{"Files.dat"});
}

TEST_F(ClsFilesTest, RoundTripKeepsEveryByte) {
  const std::vector<std::string> entries = {
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
  const std::string saved = Read(path_);

  clsFiles loaded;
  loaded.AddFile("replaced by the load");
  loaded.LoadData(path_);
  EXPECT_EQ(loaded.Count(), "5");
  EXPECT_EQ(Entries(loaded), entries);

  loaded.SaveData(path_);
  EXPECT_EQ(Read(path_), saved);

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
  EXPECT_EQ(Entries(files), std::vector<std::string>{""});

  // Fewer than 4 bytes: no count can be read, so it is taken as 0.
  Write(path_, std::string("\x05\0\0", 3));
  files.LoadData(path_);
  EXPECT_EQ(Entries(files), std::vector<std::string>{""});

  // Any negative count is the empty list.
  Write(path_, std::string("\xfb\xff\xff\xff\x01\x00z", 7));
  files.LoadData(path_);
  EXPECT_EQ(files.Count(), "-1");
}

TEST_F(ClsFilesTest, ShortFileLoadsMissingRecordsAsEmpty) {
  clsFiles files;
  // Count 2 (three entries) but only the first record is there.
  Write(path_, std::string("\x02\0\0\0\x08\0http://a", 14));
  files.LoadData(path_);
  EXPECT_EQ(Entries(files), (std::vector<std::string>{"http://a", "", ""}));

  // A length field cut in half also leaves its entry empty.
  Write(path_, std::string("\x01\0\0\0\x01\0a\x05", 8));
  files.LoadData(path_);
  EXPECT_EQ(Entries(files), (std::vector<std::string>{"a", ""}));
}

TEST_F(ClsFilesTest, DamagedFileRaises321AndChangesNothing) {
  const std::vector<std::string> damaged = {
      std::string("\xff\xff\xff\x7f\0\0", 6),          // 2^31 entries in 6 bytes
      std::string("\x01\0\0\0\x02\0ab\x0a\0abc", 13),  // second record runs past the end
      std::string("\x00\0\0\0\xff\xff", 6),            // 65,535 bytes promised, none there
  };
  for (const std::string& bytes : damaged) {
    Write(path_, bytes);
    clsFiles files;
    files.AddFile("kept");
    fw::Error e = ExpectError(fw::kInvalidFileFormat, [&] { files.LoadData(path_); });
    EXPECT_NE(e.Description().find(path_), std::string::npos) << e.Description();
    EXPECT_EQ(Read(path_), bytes);
    EXPECT_EQ(Entries(files), std::vector<std::string>{"kept"});
  }

  // A list file that cannot be read at all (a folder) also leaves the list alone.
  fs::remove(path_);
  fs::create_directory(path_);
  clsFiles files;
  files.AddFile("kept");
  ExpectError(fw::kFileAccess, [&] { files.LoadData(path_); });
  EXPECT_EQ(Entries(files), std::vector<std::string>{"kept"});
}

TEST_F(ClsFilesTest, FailedSaveLeavesTheOldFileWhole) {
  const std::string old = std::string("\x00\0\0\0\x03\0old", 9);
  Write(path_, old);

  clsFiles files;
  files.AddFile("fine");
  files.AddFile(std::string(65536, 'y'));
  fw::Error e = ExpectError(fw::kInvalidArgument, [&] { files.SaveData(path_); });
  EXPECT_NE(e.Description().find("Entry 1"), std::string::npos) << e.Description();
  EXPECT_NE(e.Description().find("too long"), std::string::npos) << e.Description();
  EXPECT_EQ(Read(path_), old);

  files.RemoveFile(1);
  ExpectError(fw::kFileAccess, [&] { files.SaveData(dir_ + "/no-such-folder/Files.dat"); });

  // The rename over a folder fails after the temporary file was written.
  fs::create_directory(dir_ + "/taken");
  fs::create_directory(dir_ + "/taken/inner");
  ExpectError(fw::kFileAccess, [&] { files.SaveData(dir_ + "/taken"); });

  EXPECT_EQ(Read(path_), old);
  std::vector<std::string> names = FolderNames();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"Files.dat", "taken"}));
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
  EXPECT_EQ(Entries(files), (std::vector<std::string>{"A", "b"}));

  files.ClearAll();
  EXPECT_EQ(files.Count(), "-1");
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
  EXPECT_EQ(Entries(files), (std::vector<std::string>{"a", "b", "c"}));

  files.RemoveFile(0);
  EXPECT_EQ(Entries(files), (std::vector<std::string>{"b", "c"}));
  files.RemoveFile(1);
  files.RemoveFile(0);
  EXPECT_EQ(files.Count(), "-1");

  for (int32_t bad : {-2, -1, 0, 1}) {
    ExpectError(fw::kSubscriptOutOfRange, [&] { files.RemoveFile(bad); });
  }
  EXPECT_EQ(files.Count(), "-1");
}

TEST_F(ClsFilesTest, AddToListReplacesTheRowsInOrder) {
  MemoryListDisplay display;
  display.AddItem("stale");
  clsFiles files;
  files.AddToList(display);
  EXPECT_TRUE(display.rows.empty());

  for (const char* e : {"http://x/1", "", "http://x/2"}) files.AddFile(e);
  files.AddToList(display);
  EXPECT_EQ(display.rows, (std::vector<std::string>{"http://x/1", "", "http://x/2"}));
}

}  // namespace
