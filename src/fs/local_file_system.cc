#include "fs/local_file_system.h"

#include <memory>

#include "fs/tree_guard.h"
#include "fs/tree_names.h"
#include "platform/env.h"
#include "platform/file.h"

#if !defined(KELTOS3_SNAPSHOT_BUILD)
namespace {

// Gives the open work file the source's recorded time for source_name.  An
// absent time (a text that does not convert, such as the empty text for a
// key the source never loaded) leaves the time of writing.  Returns false
// when the platform refused the time.
bool StampCopy(platform::File* file, CQUEXFSManager* source,
               const std::u16string& source_name) {
  const platform::FileTime time =
      CQUEXFSManager::ParseTimeText(source->GetModifiedTime(source_name));
  if (time == 0) return true;
  return file->SetLastWriteTime(time);
}

}  // namespace
#endif

// ---- Loads -------------------------------------------------------------------

int32_t CLocalFileSystem::LoadTree(std::u16string path) {
  dirMap.RemoveAll();
  fileMap.RemoveAll();
  stampsLoaded = true;
  return ScanDirectoryTree(path, ScanVariant::kFull, /*skip_dot_dirs=*/true,
                           &fileStamps);
}

int32_t CLocalFileSystem::LoadTree() { return LoadTree(std::u16string()); }

int32_t CLocalFileSystem::LoadFiles(std::u16string path) {
  fileMap.RemoveAll();
  stampsLoaded = true;
  return ScanDirectoryTree(path, ScanVariant::kFilesOnly,
                           /*skip_dot_dirs=*/true, &fileStamps);
}

int32_t CLocalFileSystem::LoadFiles() { return LoadFiles(std::u16string()); }

int32_t CLocalFileSystem::LoadDirs(std::u16string path) {
  dirMap.RemoveAll();
  return ScanDirectoryTree(path, ScanVariant::kDirsOnly,
                           /*skip_dot_dirs=*/true);
}

int32_t CLocalFileSystem::LoadDirs() { return LoadDirs(std::u16string()); }

int32_t CLocalFileSystem::LoadTreeSaveFiles(std::u16string path) {
  const int32_t result = LoadTree(std::move(path));
  SaveFileMap();
  return result;
}

int32_t CLocalFileSystem::LoadTreeSaveFiles() {
  return LoadTreeSaveFiles(std::u16string());
}

void CLocalFileSystem::StandFor(
    const std::map<std::u16string, std::u16string>& renames) {
  for (const auto& [from, to] : renames) {
    for (CSortedMap<std::u16string>* map : {&dirMap, &fileMap}) {
      const int index = map->Find(from);
      if (index < 0) continue;
      const std::u16string value = map->ValueAt(index);
      map->Remove(from);
      map->Set(to, value);
    }
    const auto stamp = fileStamps.find(from);
    if (stamp != fileStamps.end()) {
      const FileStamp seen = stamp->second;
      fileStamps.erase(stamp);
      fileStamps[to] = seen;
    }
  }
}

// ---- Directories -------------------------------------------------------------

int32_t CLocalFileSystem::CreateDir(std::u16string dir, std::u16string name) {
  if (!Guarded(dir, name)) return 2;
  return CreateDirectoryOnDisk(dir + name);
}

int32_t CLocalFileSystem::CreateDir(std::u16string path) {
  return CreateDir(root, std::move(path));
}

int32_t CLocalFileSystem::RemoveDir(std::u16string dir, std::u16string name) {
  if (!Guarded(dir, name)) return 1;
  return RemoveDirectoryOnDisk(dir + name);
}

int32_t CLocalFileSystem::RemoveDir(std::u16string path) {
  return RemoveDir(root, std::move(path));
}

int32_t CLocalFileSystem::ReservedOp(std::u16string, std::u16string,
                                     std::u16string, int32_t) {
  return 0;
}

int32_t CLocalFileSystem::ReservedOp(std::u16string, std::u16string, int32_t) {
  return 0;
}

// ---- Files ---------------------------------------------------------------------

int32_t CLocalFileSystem::IsFileLocked(const std::u16string& path) {
  return platform::CurrentEnv()->IsFileInUse(path) ? 1 : 0;
}

bool CLocalFileSystem::Guarded(const std::u16string& dir,
                               const std::u16string& name) const {
  return IsGuardedTarget(root, dir, name);
}

bool CLocalFileSystem::UnchangedSinceLoad(
    const std::u16string& dir, const std::u16string& name, bool exists,
    const platform::FileAttributes& now) const {
  if (!stampsLoaded) return true;
  const std::u16string key = KeyBelowRoot(root, dir, name);
  if (key.empty()) return true;  // not part of the loaded tree
  const auto seen = fileStamps.find(key);
  if (seen == fileStamps.end()) return !exists;
  return exists && !now.is_symbolic_link && !now.is_directory &&
         FileStamp{now.size, now.last_write_time} == seen->second;
}

void CLocalFileSystem::Remember(const std::u16string& dir,
                                const std::u16string& name) {
  const std::u16string key = KeyBelowRoot(root, dir, name);
  if (!stampsLoaded || key.empty()) return;
  platform::FileAttributes now;
  if (platform::CurrentEnv()->GetEntryAttributes(dir + name, &now)) {
    fileStamps[key] = FileStamp{now.size, now.last_write_time};
  } else {
    fileStamps.erase(key);
  }
}

int32_t CLocalFileSystem::ReceiveCopy(const std::u16string& dir,
                                      const std::u16string& name,
                                      CQUEXFSManager* source,
                                      const std::u16string* source_name) {
  platform::Env* const env = platform::CurrentEnv();
  // A target named like a work file would never be listed again by a
  // load, so it is not created; nor is a work file made through a link.
  const std::u16string work_name = CopyFilePathFor(name);
  if (IsCopyFileName(name.substr(name.rfind(u'\\') + 1)) ||
      !Guarded(dir, work_name)) {
    source->CloseStream();
    return 1;
  }
  const std::u16string target = dir + name;
  const std::u16string work = dir + work_name;
  std::unique_ptr<platform::File> file =
      env->OpenFile(work, platform::FileOpenMode::kCreateAlways);

  // The copy is complete only when every block read from the source came
  // back whole and was written whole; a read below the block size is the
  // source's last block.
  bool complete = file != nullptr;
  uint8_t buffer[kCopyBlockSize];
  while (complete) {
    const int32_t n = source->ReadStream(buffer, kCopyBlockSize);
    if (n < 0 || n > kCopyBlockSize) {
      complete = false;
      break;
    }
    if (n > 0 && file->Write(buffer, static_cast<std::uint32_t>(n)) != n) {
      complete = false;
      break;
    }
    if (n < kCopyBlockSize) break;
  }
  source->CloseStream();

#if !defined(KELTOS3_SNAPSHOT_BUILD)
  if (complete && source_name != nullptr) {
    complete = StampCopy(file.get(), source, *source_name);
  }
#else
  (void)source_name;  // copies carry no time
#endif
  if (complete) complete = file->Sync();

  // Last look at the target before it is replaced: the user may have
  // saved it while the copy ran.
  int32_t result = complete ? 0 : 1;
  if (complete) {
    platform::FileAttributes now;
    const bool exists = env->GetEntryAttributes(target, &now);
    if (!UnchangedSinceLoad(dir, name, exists, now)) {
      result = 2;
    } else if (exists && !now.is_symbolic_link && !now.is_directory &&
               !file->SetAccess(now.access)) {
      result = 1;
    }
  }
  file.reset();  // closed before it is renamed or removed
  if (result == 0 && !env->RenameFile(work, target)) result = 1;
  if (result != 0) {
    env->DeleteFile(work);
    return result;
  }
  Remember(dir, name);
  return 0;
}

int32_t CLocalFileSystem::CopyFileFrom(std::u16string dir, std::u16string name,
                                       CQUEXFSManager* source,
                                       std::u16string sourceDir,
                                       std::u16string sourceName) {
  if (source == nullptr || !Guarded(dir, name)) return 1;
  const int32_t opened = source->OpenStream(sourceDir, sourceName);
  if (opened != 0) return opened;  // nothing local has been touched
  return ReceiveCopy(dir, name, source, &sourceName);
}

int32_t CLocalFileSystem::WriteFileFrom(std::u16string dir, std::u16string name,
                                        CQUEXFSManager* source) {
  if (source == nullptr) return 1;
  if (!Guarded(dir, name)) {
    source->CloseStream();
    return 1;
  }
  return ReceiveCopy(dir, name, source, nullptr);
}

int32_t CLocalFileSystem::WriteFileFrom(std::u16string path,
                                        CQUEXFSManager* source) {
  return WriteFileFrom(root, std::move(path), source);
}

int32_t CLocalFileSystem::RemoveFile(std::u16string dir, std::u16string name) {
  if (!Guarded(dir, name)) return 1;
  platform::Env* const env = platform::CurrentEnv();
  const std::u16string full = dir + name;
  if (IsFileLocked(full)) return 2;
  platform::FileAttributes now;
  const bool exists = env->GetEntryAttributes(full, &now);
  if (!UnchangedSinceLoad(dir, name, exists, now)) return 2;
  if (!env->DeleteFile(full)) return 1;
  Remember(dir, name);
  return 0;
}

int32_t CLocalFileSystem::RemoveFile(std::u16string path) {
  return RemoveFile(root, std::move(path));
}

// The target is not removed before the copy: the copy's rename replaces it
// only once the new content is complete, so a failed copy keeps it.
int32_t CLocalFileSystem::ReplaceFileFrom(std::u16string dir,
                                          std::u16string name, std::u16string,
                                          CQUEXFSManager* source,
                                          std::u16string sourceDir,
                                          std::u16string sourceName) {
  if (source == nullptr || !Guarded(dir, name)) return 1;
  if (IsFileLocked(dir + name)) return 2;
  return CopyFileFrom(std::move(dir), std::move(name), source,
                      std::move(sourceDir), std::move(sourceName));
}

int32_t CLocalFileSystem::UpdateFileFrom(std::u16string dir, std::u16string name,
                                         std::u16string, CQUEXFSManager* source,
                                         int32_t) {
  if (source == nullptr || !Guarded(dir, name)) return 1;
  if (IsFileLocked(dir + name)) return 2;
  return CopyFileFrom(std::move(dir), name, source, source->GetRoot(), name);
}

int32_t CLocalFileSystem::UpdateFileFrom(std::u16string path,
                                         std::u16string time,
                                         CQUEXFSManager* source,
                                         int32_t reserved) {
  return UpdateFileFrom(root, std::move(path), std::move(time), source,
                        reserved);
}

// ---- Stream --------------------------------------------------------------------

int32_t CLocalFileSystem::OpenStream(std::u16string dir, std::u16string name) {
  if (stream.IsOpen()) return 1;
  if (!Guarded(dir, name)) return 3;
  const std::u16string full = dir + name;
  if (IsFileLocked(full)) return 2;
  return stream.Open(full);
}

int32_t CLocalFileSystem::OpenStream(std::u16string path) {
  return OpenStream(root, std::move(path));
}

int32_t CLocalFileSystem::ReadStream(uint8_t* buffer, int32_t size) {
  return stream.Read(buffer, size);
}

#if !defined(KELTOS3_SNAPSHOT_BUILD)
int32_t CLocalFileSystem::SetModifiedTime(std::u16string dir,
                                          std::u16string name,
                                          std::u16string time) {
  if (!Guarded(dir, name)) return 1;
  const int32_t result = SetWriteTimeFromText(dir + name, time);
  Remember(dir, name);
  return result;
}

std::u16string CLocalFileSystem::GetModifiedTime(std::u16string key) {
  return LookupFileTime(key);
}
#endif

int32_t CLocalFileSystem::WriteStream(const uint8_t* buffer, int32_t size) {
  return stream.Write(buffer, size);
}

int32_t CLocalFileSystem::CloseStream() { return stream.Close(); }

int32_t CLocalFileSystem::Release() {
  delete this;
  return 0;
}
