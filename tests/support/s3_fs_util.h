// Helpers for the S3 file-system tests: putting a file into a tree the way
// the engine adds one, reading it back through the tree's stream, and
// looking at what a bucket holds.

#ifndef KELTOS3_TESTS_SUPPORT_S3_FS_UTIL_H_
#define KELTOS3_TESTS_SUPPORT_S3_FS_UTIL_H_

#include <cstdint>
#include <string>
#include <vector>

#include "common/sorted_map.h"
#include "fs/quexfs_manager.h"

namespace testsupport::fstest {

// Copies `content` with `time` into fs at `key` from an in-memory source,
// as the engine adds a file.  Returns CopyFileFrom's result.
int32_t PutFile(CQUEXFSManager* fs, const std::u16string& key,
                const std::string& content, const std::u16string& time);

// The content of fs's file at `key`, read through its stream in copy-sized
// blocks.  Fails the running test when the stream cannot be opened or a
// read fails.
std::string ReadBack(CQUEXFSManager* fs, const std::u16string& key);

// The keys of a tree map, in order.
std::vector<std::u16string> MapKeys(const CSortedMap<std::u16string>& map);

// The index key of the version of `path` ("/docs/a.txt") with `stamp`; in
// the snapshot-assisted build, which has no stamps, the index key of the
// path's one version ("$file$/docs/a.txt_Info").
std::string IndexObjectKey(const std::string& path, const std::u16string& stamp);

// How many of `sleeps` lasted `ms` milliseconds.
int CountSleeps(const std::vector<uint32_t>& sleeps, uint32_t ms);

}  // namespace testsupport::fstest

#endif  // KELTOS3_TESTS_SUPPORT_S3_FS_UTIL_H_
