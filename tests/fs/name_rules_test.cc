// Which of the keys a case-folding local tree sees as one name it holds,
// and which names the Windows rules refuse.

#include "fs/name_rules.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sync/fake_file_system.h"

namespace testsupport {
namespace {

constexpr char16_t kTime[] = u"2010-06-01T12:00:00.000Z";

class NameRulesTest : public ::testing::Test {
 protected:
  NameRulesTest()
      : local_(new FakeFileSystem("local", &log_)),
        catalog_(new FakeFileSystem("catalog", &log_)),
        remote_(new FakeFileSystem("remote", &log_)) {}

  NameRulesOutcome Apply() {
    LocalNameRules rules;
    rules.fold_case = true;
    rules.win32_names = true;
    return ApplyNameRules(rules, *local_, *catalog_, *remote_);
  }

  static std::vector<std::u16string> Keys(const NameRulesOutcome& out) {
    std::vector<std::u16string> keys;
    for (const LeftOutKey& k : out.left_out) keys.push_back(k.key + u" " + k.held);
    return keys;
  }

  std::vector<std::string> log_;
  ScopedFileSystem<FakeFileSystem> local_;
  ScopedFileSystem<FakeFileSystem> catalog_;
  ScopedFileSystem<FakeFileSystem> remote_;
};

// The spelling this machine already holds stays, even when a lower one
// appears on the remote side; the newcomer is left out with its contents.
TEST_F(NameRulesTest, TheSpellingTheCatalogRecordsStaysHeld) {
  for (FakeFileSystem* fs : {local_.get(), catalog_.get(), remote_.get()}) {
    fs->dirMap.Set(u"\\docs", kTime);
    fs->fileMap.Set(u"\\docs\\a.txt", kTime);
  }
  remote_->dirMap.Set(u"\\Docs", kTime);
  remote_->fileMap.Set(u"\\Docs\\b.txt", kTime);
  remote_->fileMap.Set(u"\\DOCS\\c.txt", kTime);  // below another twin
  const NameRulesOutcome out = Apply();
  EXPECT_EQ(Keys(out), (std::vector<std::u16string>{u"\\DOCS\\c.txt \\docs", u"\\Docs \\docs"}));
  EXPECT_TRUE(IsExcludedKey(out.excluded, u"\\Docs\\b.txt"));
  EXPECT_FALSE(IsExcludedKey(out.excluded, u"\\docs\\a.txt"));
  EXPECT_TRUE(out.local_renames.empty());
}

// A local folder spelled otherwise than the remote key is that key's
// folder, contents included; two local spellings (a case-sensitive folder)
// are taken as they are.
TEST_F(NameRulesTest, LocalSpellingsStandForTheKeyOrAreTakenAsTheyAre) {
  remote_->dirMap.Set(u"\\Docs", kTime);
  remote_->fileMap.Set(u"\\Docs\\a.txt", kTime);
  remote_->fileMap.Set(u"\\x.txt", kTime);
  local_->dirMap.Set(u"\\DOCS", kTime);
  local_->fileMap.Set(u"\\DOCS\\new.txt", kTime);
  local_->fileMap.Set(u"\\x.txt", kTime);
  local_->fileMap.Set(u"\\X.txt", kTime);
  const NameRulesOutcome out = Apply();
  EXPECT_TRUE(out.left_out.empty());
  EXPECT_EQ(out.local_renames,
            (std::map<std::u16string, std::u16string>{
                {u"\\DOCS", u"\\Docs"}, {u"\\DOCS\\new.txt", u"\\Docs\\new.txt"}}));
}

TEST(Win32NameRulesTest, RefusedAndAcceptedNames) {
  NameRule rule;
  for (const std::u16string name :
       {u"CON", u"con.txt", u"Nul .log", u"LPT9.tar.gz", u"COM\u00B9", u"aux"}) {
    EXPECT_TRUE(BreaksWin32NameRules(name, &rule));
    EXPECT_EQ(rule, NameRule::kReservedName);
  }
  for (const std::u16string name : {u"a?b", u"a:b", u"tab\tx", u"a\"b", u"x*"}) {
    EXPECT_TRUE(BreaksWin32NameRules(name, &rule));
    EXPECT_EQ(rule, NameRule::kForbiddenCharacter);
  }
  for (const std::u16string name : {u"x.", u"x ", u"CON."}) {
    EXPECT_TRUE(BreaksWin32NameRules(name, &rule));
    EXPECT_EQ(rule, NameRule::kTrailingDotOrSpace);
  }
  for (const std::u16string name : {u"COM0", u"CONSOLE", u"con-x.txt", u".profile", u"LPT10"}) {
    EXPECT_FALSE(BreaksWin32NameRules(name, &rule));
  }
}

}  // namespace
}  // namespace testsupport
