// An in-memory file system for engine tests: the test fills its maps, sets
// the results its operations give, and reads back the calls it received.

#ifndef KELTOS3_TESTS_SYNC_FAKE_FILE_SYSTEM_H_
#define KELTOS3_TESTS_SYNC_FAKE_FILE_SYSTEM_H_

#include <map>
#include <string>
#include <vector>

#include "common/wide_string.h"
#include "fs/quexfs_manager.h"

namespace testsupport {

class FakeFileSystem final : public CQUEXFSManager {
 public:
  // `log` (shared by the three sides of a run) receives one line per call:
  // "<side name> <operation> <name>".
  FakeFileSystem(std::string side_name, std::vector<std::string>* log)
      : side_name_(std::move(side_name)), log_(log) {}

  // The result `operation` gives for `name` (default 0).
  void SetResult(const std::string& operation, const std::u16string& name, int32_t r) {
    results_[operation + " " + U16ToUtf8(name)] = r;
  }

  int32_t LoadTree(std::u16string) override { return 0; }
  int32_t LoadTree() override { return 0; }
  int32_t LoadFiles(std::u16string) override { return 0; }
  int32_t LoadFiles() override { return 0; }
  int32_t LoadDirs(std::u16string) override { return 0; }
  int32_t LoadDirs() override { return 0; }
  int32_t LoadTreeSaveFiles(std::u16string) override { return 0; }
  int32_t LoadTreeSaveFiles() override { return 0; }
  int32_t CreateDir(std::u16string, std::u16string name) override {
    return Record("CreateDir", name);
  }
  int32_t CreateDir(std::u16string path) override { return Record("CreateDir", path); }
  int32_t RemoveDir(std::u16string, std::u16string name) override {
    return Record("RemoveDir", name);
  }
  int32_t RemoveDir(std::u16string path) override { return Record("RemoveDir", path); }
  int32_t ReservedOp(std::u16string, std::u16string, std::u16string, int32_t) override {
    return 0;
  }
  int32_t ReservedOp(std::u16string, std::u16string, int32_t) override { return 0; }
  int32_t CopyFileFrom(std::u16string, std::u16string name, CQUEXFSManager*,
                       std::u16string, std::u16string) override {
    return Record("CopyFileFrom", name);
  }
  int32_t WriteFileFrom(std::u16string, std::u16string name, CQUEXFSManager*) override {
    return Record("WriteFileFrom", name);
  }
  int32_t WriteFileFrom(std::u16string path, CQUEXFSManager*) override {
    return Record("WriteFileFrom", path);
  }
  int32_t RemoveFile(std::u16string, std::u16string name) override {
    return Record("RemoveFile", name);
  }
  int32_t RemoveFile(std::u16string path) override { return Record("RemoveFile", path); }
  int32_t ReplaceFileFrom(std::u16string, std::u16string name, std::u16string,
                          CQUEXFSManager*, std::u16string, std::u16string) override {
    return Record("ReplaceFileFrom", name);
  }
  int32_t UpdateFileFrom(std::u16string, std::u16string name, std::u16string,
                         CQUEXFSManager*, int32_t) override {
    return Record("UpdateFileFrom", name);
  }
  int32_t UpdateFileFrom(std::u16string path, std::u16string, CQUEXFSManager*,
                         int32_t) override {
    return Record("UpdateFileFrom", path);
  }
  int32_t OpenStream(std::u16string, std::u16string) override { return 3; }
  int32_t OpenStream(std::u16string) override { return 3; }
  int32_t ReadStream(uint8_t*, int32_t) override { return -1; }
  int32_t SetModifiedTime(std::u16string, std::u16string, std::u16string) override {
    return 0;
  }
  std::u16string GetModifiedTime(std::u16string key) override {
    return LookupFileTime(key);
  }
  int32_t WriteStream(const uint8_t*, int32_t) override { return 1; }
  int32_t CloseStream() override { return 1; }
  int32_t Release() override {
    delete this;
    return 0;
  }

 private:
  ~FakeFileSystem() = default;

  int32_t Record(const std::string& operation, const std::u16string& name) {
    log_->push_back(side_name_ + " " + operation + " " + U16ToUtf8(name));
    const auto it = results_.find(operation + " " + U16ToUtf8(name));
    return it == results_.end() ? 0 : it->second;
  }

  const std::string side_name_;
  std::vector<std::string>* const log_;
  std::map<std::string, int32_t> results_;
};

}  // namespace testsupport

#endif  // KELTOS3_TESTS_SYNC_FAKE_FILE_SYSTEM_H_
