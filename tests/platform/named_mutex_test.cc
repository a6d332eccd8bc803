#include "platform/named_mutex.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "support/temp_dir.h"

namespace {

using platform::NamedMutex;

// A name of this test process alone, its lock file removed afterwards.
class NamedMutexTest : public ::testing::Test {
 protected:
  NamedMutexTest() : name_("keltos3-test-" + std::to_string(::getpid())) {}
  ~NamedMutexTest() override {
    ::unlink(NamedMutex::LockFilePath(name_).c_str());
    ::unlink(NamedMutex::LockFilePath(name_ + "-other").c_str());
  }
  const std::string name_;
};

// True when `mutex` is still not taken after a while of waiting in another
// thread; then `release` runs and the waiter must get it.
bool WaitsUntilReleased(NamedMutex* mutex, const std::function<void()>& release) {
  std::atomic<bool> acquired{false};
  std::thread waiter([&] { acquired = mutex->Lock(); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const bool waited = !acquired;
  release();
  waiter.join();
  mutex->Unlock();
  return waited && acquired;
}

TEST_F(NamedMutexTest, NamesMapToDistinctLockFiles) {
  const std::string path = NamedMutex::LockFilePath("CNHttpRequest::m_iSenderCount");
  EXPECT_EQ(path.find("::"), std::string::npos);
  EXPECT_NE(path, NamedMutex::LockFilePath("CNHttpRequest::m_iSenderCounT"));
  EXPECT_NE(NamedMutex::LockFilePath("a/b"), NamedMutex::LockFilePath("a_b"));
  NamedMutex too_long(std::string(NamedMutex::kMaxNameLength + 1, 'x'));
  EXPECT_FALSE(too_long.valid());
  EXPECT_FALSE(too_long.Lock());
}

// Any user who could open the lock file could hold it for ever and stall
// every bandwidth-limited transfer of the others.
TEST_F(NamedMutexTest, LockFileIsPrivateToItsUser) {
  const std::string path = NamedMutex::LockFilePath(name_);
  EXPECT_NE(path.find("-" + std::to_string(::geteuid()) + "-"), std::string::npos) << path;
  {
    NamedMutex mutex(name_);
    ASSERT_TRUE(mutex.valid());
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(st.st_uid, ::geteuid());
  }

  // A symbolic link put in its place is not followed.
  testsupport::TempDir dir;
  dir.WriteFile("target", "untouched");
  ASSERT_EQ(::unlink(path.c_str()), 0);
  ASSERT_EQ(::symlink(dir.PathOf("target").c_str(), path.c_str()), 0);
  EXPECT_FALSE(NamedMutex(name_).valid());
  EXPECT_EQ(dir.ReadFile("target"), "untouched");
  ASSERT_EQ(::unlink(path.c_str()), 0);

  // A file of another owner is refused (only root can make one here).
  if (::geteuid() == 0) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    ::close(fd);
    ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
    EXPECT_FALSE(NamedMutex(name_).valid());
  }
}

TEST_F(NamedMutexTest, InstancesOfOneNameExcludeEachOtherAcrossThreads) {
  NamedMutex first(name_);
  NamedMutex second(name_);
  NamedMutex other(name_ + "-other");
  ASSERT_TRUE(first.Lock());
  EXPECT_FALSE(second.TryLock());
  EXPECT_TRUE(other.TryLock());  // another name is another lock
  EXPECT_TRUE(WaitsUntilReleased(&second, [&] { first.Unlock(); }));
}

TEST_F(NamedMutexTest, SharedWithAnotherProcessAndReleasedWhenTheHolderDies) {
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    NamedMutex held(name_);
    const char c = held.Lock() ? 'y' : 'n';
    if (::write(ready[1], &c, 1) != 1) ::_exit(2);
    for (;;) ::pause();  // holds the lock until killed
  }
  char c = 0;
  ASSERT_EQ(::read(ready[0], &c, 1), 1);
  ::close(ready[0]);
  ::close(ready[1]);
  ASSERT_EQ(c, 'y');
  NamedMutex mine(name_);
  EXPECT_FALSE(mine.TryLock());
  EXPECT_TRUE(WaitsUntilReleased(&mine, [&] {
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
  }));
}

}  // namespace
