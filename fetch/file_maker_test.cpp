#include "fetch/file_maker.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/error.h"
#include "platform/temp_file.h"
#include "tests/fixtures/expect_error.h"
#include "tests/fixtures/temp_folder.h"

namespace {

using Names = std::vector<std::string>;

void Put(fw::TempFileMaker& maker, const std::string& destination) {
  std::unique_ptr<fw::TempFile> file = maker.Make(destination);
  file->Write(destination);
  file->Commit(fw::TempFile::Durability::kBeforeReplacing);
}

// Files made ahead for one folder never end up in another, each is used once,
// they get the permissions of a file made on demand, and none is left behind
// or held open once the maker is gone.
TEST(TempFileMakerTest, EachFileOnceInItsOwnFolderAndNothingLeft) {
  fwtest::TempFolder first, second;
  const int descriptorsBefore = fwtest::OpenDescriptors();
  const mode_t mask = umask(027);
  {
    fw::TempFileMaker maker;
    for (int i = 0; i < 12; ++i) {
      Put(maker, first / ("f" + std::to_string(i)));
      // Now and then the maker has had time to make the next files ahead.
      if (i % 3 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    Put(maker, second / "g");
    Put(maker, first / "back");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  umask(mask);
  EXPECT_EQ(fwtest::OpenDescriptors(), descriptorsBefore);
  Names names = first.Entries();
  ASSERT_EQ(names.size(), 13u);
  for (const std::string& name : names) {
    EXPECT_EQ(fwtest::ReadFile(first / name), first / name) << "one file, one destination";
    struct stat st {};
    ASSERT_EQ(stat((first / name).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u) << name;
  }
  EXPECT_EQ(second.Entries(), Names{"g"});
  EXPECT_EQ(fwtest::ReadFile(second / "g"), second / "g");
}

// A folder that cannot take files says so at each Make, naming the folder;
// once it can, files come again.
TEST(TempFileMakerTest, AFolderThatCannotTakeFilesRaisesNamingIt) {
  fwtest::TempFolder dir;
  const std::string missing = dir / "later";
  fw::TempFileMaker maker;
  for (int i = 0; i < 2; ++i) {
    const fw::Error e = fwtest::ExpectError(fw::kFileAccess, [&] { maker.Make(missing + "/x"); });
    EXPECT_NE(e.Description().find(missing), std::string::npos) << e.Description();
  }
  ASSERT_EQ(mkdir(missing.c_str(), 0700), 0);
  Put(maker, missing + "/x");
  EXPECT_EQ(fwtest::ReadFile(missing + "/x"), missing + "/x");
}

// Files made ahead hold descriptors: never more than an eighth of what the
// process may open, none where that is very little.
TEST(TempFileMakerTest, FilesMadeAheadLeaveDescriptorsForTheRest) {
  rlimit before{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &before), 0);
  ASSERT_LT(fwtest::OpenDescriptors(), 12);
  ASSERT_GE(before.rlim_max, rlim_t{1024});
  for (const auto& [soft, ahead] : std::vector<std::pair<rlim_t, size_t>>{
           {1024, 8}, {64, 8}, {40, 5}, {16, 2}, {15, 0}, {12, 0}}) {
    SCOPED_TRACE(soft);
    rlimit limit = before;
    limit.rlim_cur = soft;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    {
      fwtest::TempFolder dir;
      fw::TempFileMaker maker;
      EXPECT_EQ(maker.Ahead(), ahead);
      // With none made ahead, files are still made, one at a time.
      for (int i = 0; i < 3; ++i) Put(maker, dir / ("f" + std::to_string(i)));
      EXPECT_EQ(dir.Entries().size(), 3u);
    }
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &before), 0);
  }
}

}  // namespace
