#include "platform/file_lock.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include "platform/error.h"
#include "tests/fixtures/temp_folder.h"

namespace fwtest {
namespace {

// A holder that never lets go ends the wait with an error that says so; a
// shared holder lets other readers in at once; once it lets go, the writer
// gets the lock.
TEST(FolderLockTest, AHolderThatNeverLetsGoEndsTheWait) {
  TempFolder folder;
  const int held = open(folder.Path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(held, 0);
  ASSERT_EQ(flock(held, LOCK_SH), 0);
  { const fw::FolderLock reader(folder.Path(), fw::FolderLock::Mode::kShared); }
  try {
    const fw::FolderLock writer(folder.Path(), fw::FolderLock::Mode::kExclusive,
                                std::chrono::seconds(1));
    ADD_FAILURE() << "the lock was taken while held";
  } catch (const fw::Error& e) {
    EXPECT_EQ(e.Number(), 75);
    EXPECT_NE(e.Description().find("is kept locked by another program"), std::string::npos)
        << e.Description();
  }
  close(held);
  const fw::FolderLock writer(folder.Path(), fw::FolderLock::Mode::kExclusive,
                              std::chrono::seconds(1));
}

}  // namespace
}  // namespace fwtest
