#include "fs/virtual_file_system.h"

#include <memory>
#include <string>

#include "common/layout_policy.h"
#include "common/wide_string.h"
#include "fs/local_file_system.h"
#include "fs/s3_file_system.h"
#include "fs/tree_guard.h"
#include "platform/env.h"
#include "platform/file.h"
#include "support/time_text.h"

namespace {

// The work folder and what it holds, below the root.
constexpr char16_t kWorkFolder[] = u"\\.keltos3";
constexpr char16_t kRemoteRootFile[] = u"\\.keltos3\\remote-root";
// The remote side's times of the snapshot-assisted layout's records.
constexpr char16_t kRemoteTimesFolder[] = u"\\.keltos3\\remote-times";

// The longest remote-root record read.
constexpr std::uint32_t kRootRecordLimit = 4096;

}  // namespace

// ---- Loads -------------------------------------------------------------------

int32_t CVirtualFileSystem::LoadTree(std::u16string path) {
  dirMap.RemoveAll();
  fileMap.RemoveAll();
  const int32_t result =
      ScanDirectoryTree(path, ScanVariant::kFull, /*skip_dot_dirs=*/true, &m_stamps);
  if (!CurrentLayout().CarriesFileTimes()) {
    m_remoteTimes = CSortedMap<std::u16string>(fileMap.Capacity(),
                                               SortedMapWhenFull::kKeepLowest);
  }
  if (!CurrentLayout().CarriesFileTimes() && path.empty() && !m_bRemoteTimesTree) {
    ScopedFileSystem<CVirtualFileSystem> times(new CVirtualFileSystem());
    times->m_bRemoteTimesTree = true;
    times->SetRoot(root + kRemoteTimesFolder);
    times->SetMapCapacity(fileMap.Capacity());
    times->LoadTree();
    // With the milliseconds the placeholders keep: the server's times tell
    // two stores within one second apart where it gives them.
    for (const auto& [key, stamp] : times->m_stamps) {
      m_remoteTimes.Set(key, FormatTimeTextWithMilliseconds(stamp.time));
    }
  }
  return result;
}

int32_t CVirtualFileSystem::LoadTree() { return LoadTree(std::u16string()); }

int32_t CVirtualFileSystem::LoadFiles(std::u16string path) {
  fileMap.RemoveAll();
  return ScanDirectoryTree(path, ScanVariant::kFilesOnly,
                           /*skip_dot_dirs=*/true);
}

int32_t CVirtualFileSystem::LoadFiles() { return LoadFiles(std::u16string()); }

int32_t CVirtualFileSystem::LoadDirs(std::u16string path) {
  dirMap.RemoveAll();
  return ScanDirectoryTree(path, ScanVariant::kDirsOnly,
                           /*skip_dot_dirs=*/true);
}

int32_t CVirtualFileSystem::LoadDirs() { return LoadDirs(std::u16string()); }

int32_t CVirtualFileSystem::LoadTreeSaveFiles(std::u16string path) {
  const int32_t result = LoadTree(std::move(path));
  SaveFileMap();
  return result;
}

int32_t CVirtualFileSystem::LoadTreeSaveFiles() {
  return LoadTreeSaveFiles(std::u16string());
}

// ---- Directories -------------------------------------------------------------

int32_t CVirtualFileSystem::CreateDir(std::u16string dir, std::u16string name) {
  if (!IsGuardedTarget(root, dir, name)) return 2;
  return CreateDirectoryOnDisk(dir + name);
}

int32_t CVirtualFileSystem::CreateDir(std::u16string path) {
  return CreateDir(root, std::move(path));
}

int32_t CVirtualFileSystem::RemoveDir(std::u16string dir, std::u16string name) {
  if (!IsGuardedTarget(root, dir, name)) return 1;
  const int32_t removed = RemoveDirectoryOnDisk(dir + name);
  if (removed == 0) ForgetRemoteTime(KeyBelowRoot(root, dir, name), /*directory=*/true);
  return removed;
}

int32_t CVirtualFileSystem::RemoveDir(std::u16string path) {
  return RemoveDir(root, std::move(path));
}

int32_t CVirtualFileSystem::ReservedOp(std::u16string, std::u16string,
                                       std::u16string, int32_t) {
  return 0;
}

int32_t CVirtualFileSystem::ReservedOp(std::u16string, std::u16string,
                                       int32_t) {
  return 0;
}

// ---- Files ---------------------------------------------------------------------

bool CVirtualFileSystem::CreatePlaceholder(const std::u16string& path) {
  // Closed at once, as the result goes out of scope.
  return platform::CurrentEnv()->OpenFile(path, platform::FileOpenMode::kCreateAlways) !=
         nullptr;
}

int32_t CVirtualFileSystem::Record(const std::u16string& dir, const std::u16string& name,
                                   const CQUEXFSManager* source,
                                   const std::u16string& source_time) {
  platform::Env* const env = platform::CurrentEnv();
  const std::u16string key = KeyBelowRoot(root, dir, name);
  const FileStamp* local = nullptr;
  if (m_pLocal != nullptr && !key.empty()) {
    const auto found = m_pLocal->LoadedStamps().find(key);
    if (found != m_pLocal->LoadedStamps().end()) local = &found->second;
  }
  if (CurrentLayout().CarriesFileTimes()) {
    // The local file's full time where it was the source: its time text,
    // which named the remote version, is the record's to the second, and a
    // second save within that second is still seen.
    if (local != nullptr && source != nullptr &&
        source == static_cast<const CQUEXFSManager*>(m_pLocal)) {
      return env->SetLastWriteTime(dir + name, local->time) ? 0 : 1;
    }
    return SetWriteTimeFromText(dir + name, source_time);
  }
  // The snapshot-assisted layout: the local side's time, and the remote
  // side's own time kept beside the record.
  int32_t result = 0;
  if (local != nullptr && !env->SetLastWriteTime(dir + name, local->time)) result = 1;
  if (m_pRemote != nullptr && !key.empty()) {
    // The version the transfer stored, or the one it read.
    std::u16string remote_time = m_pRemote->TimeAfterTransfer(key);
    if (remote_time.empty() && source != nullptr &&
        source == static_cast<const CQUEXFSManager*>(m_pRemote)) {
      const auto listed = m_pRemote->ListedTimes().find(key);
      if (listed != m_pRemote->ListedTimes().end()) remote_time = listed->second;
    }
    if (RecordRemoteTime(key, remote_time) != 0) result = 1;
  }
  return result;
}

int32_t CVirtualFileSystem::RecordRemoteTime(const std::u16string& key,
                                             const std::u16string& time) {
  // Without a time the record of the remote side goes: the next run then
  // compares as an earlier release did.
  if (time.empty()) {
    ForgetRemoteTime(key, /*directory=*/false);
    return 0;
  }
  const std::u16string name = kRemoteTimesFolder + key;
  if (!IsGuardedTarget(root, root, name)) return 1;
  CreateDirectoryOnDisk(root + kWorkFolder);
  for (size_t at = name.find(u'\\', 1); at != std::u16string::npos;
       at = name.find(u'\\', at + 1)) {
    if (at > 0) CreateDirectoryOnDisk(root + name.substr(0, at));
  }
  if (!CreatePlaceholder(root + name)) return 1;
  return SetWriteTimeFromText(root + name, time);
}

void CVirtualFileSystem::ForgetRemoteTime(const std::u16string& key, bool directory) {
  if (CurrentLayout().CarriesFileTimes() || m_bRemoteTimesTree || key.empty()) return;
  const std::u16string name = kRemoteTimesFolder + key;
  if (!IsGuardedTarget(root, root, name)) return;
  platform::Env* const env = platform::CurrentEnv();
  if (directory) {
    env->RemoveDirectory(root + name);
  } else {
    env->DeleteFile(root + name);
  }
}

int32_t CVirtualFileSystem::RefreshRecord(const std::u16string& key) {
  if (CurrentLayout().CarriesFileTimes()) return RefreshWholeSecondRecord(key);
  if (m_pLocal == nullptr || m_pRemote == nullptr || !IsGuardedTarget(root, root, key)) {
    return 1;
  }
  const auto local = m_pLocal->LoadedStamps().find(key);
  const auto listed = m_pRemote->ListedTimes().find(key);
  if (local == m_pLocal->LoadedStamps().end() || listed == m_pRemote->ListedTimes().end()) {
    return 1;
  }
  const std::u16string& remote_time = listed->second;
  if (!platform::CurrentEnv()->SetLastWriteTime(root + key, local->second.time)) return 1;
  return RecordRemoteTime(key, remote_time);
}

int32_t CVirtualFileSystem::RefreshWholeSecondRecord(const std::u16string& key) {
  if (m_pLocal == nullptr || !IsGuardedTarget(root, root, key)) return 1;
  const auto local = m_pLocal->LoadedStamps().find(key);
  if (local == m_pLocal->LoadedStamps().end()) return 1;
  return platform::CurrentEnv()->SetLastWriteTime(root + key, local->second.time) ? 0 : 1;
}

int32_t CVirtualFileSystem::CopyFileFrom(std::u16string dir,
                                         std::u16string name,
                                         CQUEXFSManager* source,
                                         std::u16string,
                                         std::u16string sourceName) {
  if (!IsGuardedTarget(root, dir, name)) return 1;
  if (!CreatePlaceholder(dir + name)) return 1;
  const std::u16string time = source != nullptr && CurrentLayout().CarriesFileTimes()
                                  ? source->GetModifiedTime(sourceName)
                                  : std::u16string();
  return Record(dir, name, source, time);
}

int32_t CVirtualFileSystem::WriteFileFrom(std::u16string dir,
                                          std::u16string name,
                                          CQUEXFSManager*) {
  if (!IsGuardedTarget(root, dir, name)) return 1;
  return CreatePlaceholder(dir + name) ? 0 : 1;
}

int32_t CVirtualFileSystem::WriteFileFrom(std::u16string path,
                                          CQUEXFSManager* source) {
  return WriteFileFrom(root, std::move(path), source);
}

int32_t CVirtualFileSystem::RemoveFile(std::u16string dir,
                                       std::u16string name) {
  if (!IsGuardedTarget(root, dir, name)) return 1;
  if (!platform::CurrentEnv()->DeleteFile(dir + name)) return 1;
  ForgetRemoteTime(KeyBelowRoot(root, dir, name), /*directory=*/false);
  return 0;
}

int32_t CVirtualFileSystem::RemoveFile(std::u16string path) {
  return RemoveFile(root, std::move(path));
}

// The placeholder is created afresh over the old one, which stays when the
// creation fails.
int32_t CVirtualFileSystem::ReplaceFileFrom(std::u16string dir,
                                            std::u16string name,
                                            std::u16string, CQUEXFSManager* source,
                                            std::u16string, std::u16string) {
  if (!IsGuardedTarget(root, dir, name)) return 1;
  if (!CreatePlaceholder(dir + name)) return 1;
  return Record(dir, name, source, std::u16string());
}

int32_t CVirtualFileSystem::UpdateFileFrom(std::u16string dir,
                                           std::u16string name,
                                           std::u16string time,
                                           CQUEXFSManager* source, int32_t) {
  if (!IsGuardedTarget(root, dir, name)) return 1;
  if (!CreatePlaceholder(dir + name)) return 1;
  // The record carries the time of the change, as an added file's does.
  // With the moment of the run instead, a later update on the other side
  // whose time lies before that moment would never be seen.
  return Record(dir, name, source, time);
}

int32_t CVirtualFileSystem::UpdateFileFrom(std::u16string path,
                                           std::u16string time,
                                           CQUEXFSManager* source,
                                           int32_t reserved) {
  return UpdateFileFrom(root, std::move(path), std::move(time), source,
                        reserved);
}

// ---- The remote root ---------------------------------------------------------------

CVirtualFileSystem::RootRecord CVirtualFileSystem::ReadRemoteRoot(
    std::u16string* text) const {
  platform::Env* const env = platform::CurrentEnv();
  const std::u16string path = root + kRemoteRootFile;
  std::unique_ptr<platform::File> file =
      IsGuardedTarget(root, root, kRemoteRootFile)
          ? env->OpenFile(path, platform::FileOpenMode::kExistingReadOnly)
          : nullptr;
  if (file == nullptr) {
    platform::FileAttributes attributes;
    return env->GetEntryAttributes(path, &attributes) ? RootRecord::kUnreadable
                                                      : RootRecord::kNone;
  }
  std::string bytes(kRootRecordLimit, '\0');
  std::uint32_t length = 0;
  while (length < kRootRecordLimit) {
    const std::int64_t n = file->Read(bytes.data() + length, kRootRecordLimit - length);
    if (n < 0) return RootRecord::kUnreadable;
    if (n == 0) break;
    length += static_cast<std::uint32_t>(n);
  }
  bytes.resize(length);
  while (!bytes.empty() && (bytes.back() == '\n' || bytes.back() == '\r')) bytes.pop_back();
  *text = Utf8ToU16(bytes);
  return RootRecord::kRead;
}

bool CVirtualFileSystem::WriteRemoteRoot(const std::u16string& text) const {
  if (!IsGuardedTarget(root, root, kRemoteRootFile)) return false;
  CreateDirectoryOnDisk(root + kWorkFolder);
  std::unique_ptr<platform::File> file = platform::CurrentEnv()->OpenFile(
      root + kRemoteRootFile, platform::FileOpenMode::kCreateAlways);
  if (file == nullptr) return false;
  const std::string bytes = U16ToUtf8(text) + "\n";
  return file->Write(bytes.data(), static_cast<std::uint32_t>(bytes.size())) ==
             static_cast<std::int64_t>(bytes.size()) &&
         file->Sync();
}

// ---- Stream --------------------------------------------------------------------

int32_t CVirtualFileSystem::OpenStream(std::u16string dir,
                                       std::u16string name) {
  if (stream.IsOpen()) return 1;
  if (!IsGuardedTarget(root, dir, name)) return 3;
  return stream.Open(dir + name);
}

int32_t CVirtualFileSystem::OpenStream(std::u16string path) {
  return OpenStream(root, std::move(path));
}

int32_t CVirtualFileSystem::ReadStream(uint8_t* buffer, int32_t size) {
  return stream.Read(buffer, size);
}

int32_t CVirtualFileSystem::SetModifiedTime(std::u16string dir,
                                            std::u16string name,
                                            std::u16string time) {
  if (!IsGuardedTarget(root, dir, name)) return 1;
  return SetWriteTimeFromText(dir + name, time);
}

std::u16string CVirtualFileSystem::GetModifiedTime(std::u16string key) {
  return LookupFileTime(key);
}

int32_t CVirtualFileSystem::WriteStream(const uint8_t* buffer, int32_t size) {
  return stream.Write(buffer, size);
}

int32_t CVirtualFileSystem::CloseStream() { return stream.Close(); }

int32_t CVirtualFileSystem::Release() {
  delete this;
  return 0;
}
