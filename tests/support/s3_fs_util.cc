#include "support/s3_fs_util.h"

#include <gtest/gtest.h>

#include "common/wide_string.h"
#include "support/fs_test_util.h"
#include "support/test_layout.h"

namespace testsupport::fstest {

int32_t PutFile(CQUEXFSManager* fs, const std::u16string& key,
                const std::string& content, const std::u16string& time) {
  MemoryFileSystem source;
  source.AddFile(key, content, time);
  return fs->CopyFileFrom(fs->GetRoot(), key, &source, source.GetRoot(), key);
}

std::string ReadBack(CQUEXFSManager* fs, const std::u16string& key) {
  std::string content;
  const int32_t opened = fs->OpenStream(fs->GetRoot(), key);
  EXPECT_EQ(opened, 0) << U16ToUtf8(key);
  if (opened != 0) return content;
  uint8_t buffer[kCopyBlockSize];
  for (;;) {
    const int32_t n = fs->ReadStream(buffer, kCopyBlockSize);
    EXPECT_GE(n, 0) << U16ToUtf8(key);
    if (n <= 0) break;
    content.append(reinterpret_cast<const char*>(buffer),
                   static_cast<size_t>(n));
    if (n < kCopyBlockSize) break;
  }
  EXPECT_EQ(fs->CloseStream(), 0);
  return content;
}

std::vector<std::u16string> MapKeys(const CSortedMap<std::u16string>& map) {
  std::vector<std::u16string> keys;
  for (int i = 0; i < map.Count(); ++i) keys.push_back(map.KeyAt(i));
  return keys;
}

std::string IndexObjectKey(const std::string& path,
                           const std::u16string& stamp) {
  if (::testsupport::IsSnapshotRun()) return "$file$" + path + "_Info";
  return "$file$" + path + "_" + U16ToUtf8(stamp) + "_Info";
}

int CountSleeps(const std::vector<uint32_t>& sleeps, uint32_t ms) {
  int n = 0;
  for (const uint32_t s : sleeps) n += s == ms ? 1 : 0;
  return n;
}

}  // namespace testsupport::fstest
