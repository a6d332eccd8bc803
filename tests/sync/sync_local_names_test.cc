// A tree made where any name is a file name (keys that differ only in case,
// device names, <>:"|?*, trailing dots and spaces, a long path), carried to
// a machine whose file system folds case and refuses those names, edited
// there and carried back.  On Windows (and under Wine) the library finds
// the rules itself; elsewhere "SyncLocalNames=windows" asks for them, so
// that both suites run the same scenario.

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "KeltoS3.h"
#include "common/wide_string.h"
#include "fs/s3_file_system.h"
#include "support/fs_test_util.h"
#include "support/s3_fs_util.h"
#include "support/store_fixture.h"
#include "support/sync_tree_util.h"
#include "support/test_layout.h"

namespace testsupport::synctest {
namespace {

using Tree = std::map<std::string, std::string>;
using Keys = std::map<std::u16string, std::string>;  // key -> content

constexpr std::int64_t kT2 = 1275393600 + 3600;
constexpr char16_t kT1Text[] = u"2010-06-01T12:00:00.000Z";

// A folder name that takes the local path past MAX_PATH (260).
const std::string kLongDir(150, 'd');
const std::string kLongFile = std::string(120, 'f') + ".txt";

// What the reporting export told of one run.
struct Seen {
  std::vector<std::pair<int, std::string>> left_out;  // reason, key
  int transfers = 0;  // actions on a live side

  static void KELTOS3_CDECL OnLeftOut(void* context, int reason, const wchar_t* name) {
    std::u16string key;
    for (; *name != 0; ++name) key.push_back(static_cast<char16_t>(*name));
    static_cast<Seen*>(context)->left_out.emplace_back(reason, U16ToUtf8(key));
  }
  static void KELTOS3_CDECL OnAction(void* context, const KeltoS3SyncActionInfo* a) {
    EXPECT_EQ(a->result, 0);
    if (a->target != 0) ++static_cast<Seen*>(context)->transfers;
  }
};

class SyncLocalNamesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fixture_.UseServer("names", 1000));
#if !defined(_WIN32)
    StoreSettings settings = fixture_.settings();
    settings.extra += "SyncLocalNames=windows\n";
    fixture_.WriteSettings(settings);
#endif
  }

  // One run of the Windows machine through the reporting export.
  Seen RunWindows() {
    Seen seen;
    report_ = KeltoS3SyncReport{};
    report_.size = sizeof report_;
    KeltoS3SyncParams params{};
    params.size = sizeof params;
    params.max_delete_percent = -1;
    params.context = &seen;
    params.on_left_out = &Seen::OnLeftOut;
    params.on_action = &Seen::OnAction;
    params.report = &report_;
    const std::wstring local = Wide(w_.tree.LibPath());
    const std::wstring catalog = Wide(w_.catalog.LibPath());
    const std::wstring remote = Wide(Utf8ToU16(fixture_.bucket()));
    EXPECT_EQ(KeltoS3SynchronizeEx(local.c_str(), catalog.c_str(), remote.c_str(), &params),
              KELTOS3_SYNC_OK);
    return seen;
  }

  // Every key of the bucket with the content of its latest version.
  Keys Remote() {
    ScopedFileSystem<CS3FileSystem> s3(new CS3FileSystem());
    s3->SetRoot(Utf8ToU16(fixture_.bucket()));
    EXPECT_EQ(s3->LoadTree(), 0);
    Keys out;
    for (const std::u16string& key : fstest::MapKeys(s3->fileMap)) {
      out[key] = fstest::ReadBack(s3.get(), key);
    }
    return out;
  }

  StoreFixture fixture_;
  Machine w_;
  KeltoS3SyncReport report_{};
};

TEST_F(SyncLocalNamesTest, NamesTheLocalTreeCannotHoldNeverCostAFile) {
  const std::u16string long_key =
      u"\\" + Utf8ToU16(kLongDir) + u"\\" + Utf8ToU16(kLongFile);
  Keys linux_tree = {
      {u"\\Docs\\a.txt", "Docs/a"},        {u"\\docs\\b.txt", "docs/b"},
      {u"\\README.TXT", "upper readme"},   {u"\\Readme.txt", "mixed readme"},
      {u"\\CON.txt", "device"},            {u"\\nul", "device too"},
      {u"\\LPT1.log", "printer"},          {u"\\COM0.txt", "an ordinary name"},
      {u"\\what?.txt", "question"},        {u"\\a<b>.txt", "angles"},
      {u"\\pipe|.txt", "pipe"},            {u"\\quote\".txt", "quote"},
      {u"\\colon:.txt", "colon"},          {u"\\star*", "star"},
      {u"\\dotdir.\\inside.txt", "dotted"}, {u"\\dotdir\\inside.txt", "plain"},
      {u"\\blank ", "blank"},              {u"\\plain.txt", "plain file"},
      {long_key, "long path"}};
  {
    // The Linux machine's upload, as its runs store a tree.
    ScopedFileSystem<CS3FileSystem> s3(new CS3FileSystem());
    s3->SetRoot(Utf8ToU16(fixture_.bucket()));
    for (const char16_t* dir : {u"\\Docs", u"\\docs", u"\\dotdir.", u"\\dotdir"}) {
      s3->CreateDir(dir);
    }
    s3->CreateDir(u"\\" + Utf8ToU16(kLongDir));
    for (const auto& [key, content] : linux_tree) {
      ASSERT_EQ(fstest::PutFile(s3.get(), key, content, kT1Text), 0) << U16ToUtf8(key);
    }
  }

  // The Windows machine holds one key of each case pair (the lower in
  // code-unit order) and none of the refused names; each left-out key is
  // reported once, a folder with everything below it.
  Seen seen = RunWindows();
  EXPECT_EQ(seen.transfers, 9);  // three folders, six files
  const Tree held = {{"Docs/", ""},
                     {"Docs/a.txt", "Docs/a"},
                     {"COM0.txt", "an ordinary name"},
                     {"README.TXT", "upper readme"},
                     {"dotdir/", ""},
                     {"dotdir/inside.txt", "plain"},
                     {"plain.txt", "plain file"},
                     {kLongDir + "/", ""},
                     {kLongDir + "/" + kLongFile, "long path"}};
  EXPECT_EQ(Snapshot(w_.tree.path()), held);
  const std::vector<std::pair<int, std::string>> reported = {
      {KELTOS3_LEFT_OUT_NAME_REFUSED, "\\CON.txt"},
      {KELTOS3_LEFT_OUT_NAME_REFUSED, "\\LPT1.log"},
      {KELTOS3_LEFT_OUT_CASE_TWIN, "\\Readme.txt"},
      {KELTOS3_LEFT_OUT_NAME_REFUSED, "\\a<b>.txt"},
      {KELTOS3_LEFT_OUT_NAME_REFUSED, "\\blank "},
      {KELTOS3_LEFT_OUT_NAME_REFUSED, "\\colon:.txt"},
      {KELTOS3_LEFT_OUT_CASE_TWIN, "\\docs"},
      {KELTOS3_LEFT_OUT_NAME_REFUSED, "\\dotdir."},
      {KELTOS3_LEFT_OUT_NAME_REFUSED, "\\nul"},
      {KELTOS3_LEFT_OUT_NAME_REFUSED, "\\pipe|.txt"},
      {KELTOS3_LEFT_OUT_NAME_REFUSED, "\\quote\".txt"},
      {KELTOS3_LEFT_OUT_NAME_REFUSED, "\\star*"},
      {KELTOS3_LEFT_OUT_NAME_REFUSED, "\\what?.txt"}};
  EXPECT_EQ(seen.left_out, reported);
  EXPECT_EQ(report_.left_out[KELTOS3_LEFT_OUT_CASE_TWIN], 2u);
  EXPECT_EQ(report_.left_out[KELTOS3_LEFT_OUT_NAME_REFUSED], 11u);
  bool traced = false;
  for (const std::u16string& line : fixture_.env().traces()) {
    traced = traced || line.find(u"LEFTOUT : \\docs : differs only in case from \\Docs") == 0;
  }
  EXPECT_TRUE(traced);

  // Nothing comes and goes on later runs; the left-out keys are reported
  // again.
  seen = RunWindows();
  EXPECT_EQ(seen.transfers, 0);
  EXPECT_EQ(seen.left_out, reported);
  EXPECT_EQ(Remote(), linux_tree);

  // Edits and new files on the Windows machine, in the held folder too,
  // reach the bucket under the keys they stand for; no other key changes.
  // (Edits are seen by their file times, which only the standard build
  // carries.)
  Keys expected = linux_tree;
  int uploads = 1;
  w_.Put("Docs/new.txt", "new in Docs", kT2);
  expected[u"\\Docs\\new.txt"] = "new in Docs";
  if (!::testsupport::IsSnapshotRun()) {
  w_.Put("Docs/a.txt", "Docs/a edited on Windows", kT2);
  w_.Put("README.TXT", "upper readme edited", kT2);
  w_.Put(kLongDir + "/" + kLongFile, "long path edited", kT2);
  expected[u"\\Docs\\a.txt"] = "Docs/a edited on Windows";
  expected[u"\\README.TXT"] = "upper readme edited";
  expected[long_key] = "long path edited";
  uploads += 3;
  }
  EXPECT_EQ(RunWindows().transfers, uploads);
  EXPECT_EQ(RunWindows().transfers, 0);
  EXPECT_EQ(Remote(), expected);
}

}  // namespace
}  // namespace testsupport::synctest
