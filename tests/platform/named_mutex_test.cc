#include "platform/named_mutex.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

namespace {

// A name of this test process alone, so parallel test runs do not meet.
std::string UniqueName(const std::string& what) {
  return "keltos3-test-" + what + "-" + std::to_string(::getpid());
}

class NamedMutexTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const std::string& name : names_) {
      ::unlink(platform::NamedMutex::LockFilePath(name).c_str());
    }
  }
  std::string Name(const std::string& what) {
    names_.push_back(UniqueName(what));
    return names_.back();
  }

 private:
  std::vector<std::string> names_;
};

TEST_F(NamedMutexTest, NamesMapToDistinctFiles) {
  const std::string a = platform::NamedMutex::LockFilePath("CNHttpRequest::m_iSenderCount");
  EXPECT_NE(a.find("keltos3-mutex-"), std::string::npos);
  EXPECT_EQ(a.find("::"), std::string::npos);  // the name is encoded
  EXPECT_NE(a, platform::NamedMutex::LockFilePath("CNHttpRequest::m_iSenderCounT"));
  EXPECT_NE(platform::NamedMutex::LockFilePath("a/b"),
            platform::NamedMutex::LockFilePath("a_b"));
  EXPECT_EQ(platform::NamedMutex::LockFilePath(std::string(101, 'x')), "");
  platform::NamedMutex too_long(std::string(101, 'x'));
  EXPECT_FALSE(too_long.valid());
  EXPECT_FALSE(too_long.Lock());
}

TEST_F(NamedMutexTest, InstancesOfOneNameExcludeEachOtherAcrossThreads) {
  const std::string name = Name("threads");
  platform::NamedMutex first(name);
  platform::NamedMutex second(name);
  ASSERT_TRUE(first.valid());
  ASSERT_TRUE(second.valid());
  ASSERT_TRUE(first.Lock());
  EXPECT_FALSE(second.TryLock());

  std::atomic<bool> acquired{false};
  std::thread waiter([&] {
    platform::NamedMutex mine(name);
    platform::NamedMutexLock lock(&mine);
    acquired = lock.locked();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(acquired.load());
  first.Unlock();
  waiter.join();
  EXPECT_TRUE(acquired.load());
  EXPECT_TRUE(second.TryLock());
  second.Unlock();

  platform::NamedMutex other(Name("other"));
  ASSERT_TRUE(first.Lock());
  EXPECT_TRUE(other.TryLock());  // another name is another lock
  other.Unlock();
  first.Unlock();
}

TEST_F(NamedMutexTest, SharedWithAnotherProcessAndReleasedWhenTheHolderDies) {
  const std::string name = Name("process");
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    platform::NamedMutex held(name);
    const char c = held.Lock() ? 'y' : 'n';
    if (::write(ready[1], &c, 1) != 1) ::_exit(2);
    for (;;) ::pause();  // holds the lock until killed
  }
  ::close(ready[1]);
  char c = 0;
  ASSERT_EQ(::read(ready[0], &c, 1), 1);
  ::close(ready[0]);
  ASSERT_EQ(c, 'y');

  platform::NamedMutex mine(name);
  EXPECT_FALSE(mine.TryLock());  // held by the child

  std::atomic<bool> acquired{false};
  std::thread waiter([&] { acquired = mine.Lock(); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(acquired.load());
  ASSERT_EQ(::kill(child, SIGKILL), 0);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  waiter.join();  // the dead holder's lock is gone
  EXPECT_TRUE(acquired.load());
  mine.Unlock();
}

}  // namespace
