#include "fs/local_file_system.h"

#include <memory>

#include "common/layout_policy.h"
#include "fs/tree_guard.h"
#include "fs/tree_names.h"
#include "platform/env.h"
#include "platform/file.h"

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
  const int32_t result = Guarded(dir, name) ? CreateDirectoryOnDisk(dir + name) : 2;
  if (result == 2) NoteFailure(u"the local directory could not be created");
  return result;
}

int32_t CLocalFileSystem::CreateDir(std::u16string path) {
  return CreateDir(root, std::move(path));
}

int32_t CLocalFileSystem::RemoveDir(std::u16string dir, std::u16string name) {
  const int32_t result = Guarded(dir, name) ? RemoveDirectoryOnDisk(dir + name) : 1;
  if (result != 0) NoteFailure(u"the local directory could not be removed");
  return result;
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
  // load, so it is not created.
  if (IsCopyFileName(name.substr(name.rfind(u'\\') + 1))) {
    source->CloseStream();
    NoteFailure(u"the local name is reserved for work files");
    return 1;
  }
  const std::u16string target = dir + name;
  // A fresh name each time: whatever exists under it (a file, a link that
  // someone planted) makes the create fail, and another name is tried.
  std::u16string work;
  std::unique_ptr<platform::File> file;
  for (int attempt = 0; attempt < 4 && file == nullptr; ++attempt) {
    const std::u16string work_name = NewCopyFilePathFor(name);
    if (!Guarded(dir, work_name)) break;  // no work file made through a link
    work = dir + work_name;
    file = env->OpenFile(work, platform::FileOpenMode::kCreateNew);
  }
  if (file == nullptr) NoteFailure(u"the local work file could not be created");

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
      NoteFailure(u"the local file could not be written");
      complete = false;
      break;
    }
    CountBytes(static_cast<std::uint64_t>(n));
    if (n < kCopyBlockSize) break;
  }
  source->CloseStream();

  // The snapshot-assisted layout's copies carry no time.
  if (complete && source_name != nullptr && CurrentLayout().CarriesFileTimes()) {
    complete = StampCopy(file.get(), source, *source_name);
    if (!complete) NoteFailure(u"the local file's time could not be set");
  }
  if (complete) {
    complete = file->Sync();
    if (!complete) NoteFailure(u"the local file could not be flushed to disk");
  }

  // Last look at the target before it is replaced: the user may have
  // saved it while the copy ran.
  int32_t result = complete ? 0 : 1;
  if (complete) {
    platform::FileAttributes now;
    const bool exists = env->GetEntryAttributes(target, &now);
    const bool replaces = exists && !now.is_symbolic_link && !now.is_directory;
    if (!UnchangedSinceLoad(dir, name, exists, now)) {
      NoteFailure(u"the local file changed during the run");
      result = 2;
    } else if (!file->SetAccess(replaces ? now.access
                                         : platform::DefaultNewFileAccess())) {
      NoteFailure(u"the local file's permissions could not be set");
      result = 1;
    }
  }
  file.reset();  // closed before it is renamed or removed
  if (result == 0 && !env->RenameFile(work, target)) {
    NoteFailure(u"the local work file could not be renamed over the file");
    result = 1;
  }
  if (result != 0) {
    if (!work.empty()) env->DeleteFile(work);
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
  if (IsFileLocked(full)) {
    NoteFailure(u"the local file is in use or missing");
    return 2;
  }
  platform::FileAttributes now;
  const bool exists = env->GetEntryAttributes(full, &now);
  if (!UnchangedSinceLoad(dir, name, exists, now)) {
    NoteFailure(u"the local file changed during the run");
    return 2;
  }
  if (!env->DeleteFile(full)) {
    NoteFailure(u"the local file could not be deleted");
    return 1;
  }
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
  if (IsFileLocked(dir + name)) {
    NoteFailure(u"the local file is in use or missing");
    return 2;
  }
  return CopyFileFrom(std::move(dir), std::move(name), source,
                      std::move(sourceDir), std::move(sourceName));
}

int32_t CLocalFileSystem::UpdateFileFrom(std::u16string dir, std::u16string name,
                                         std::u16string, CQUEXFSManager* source,
                                         int32_t) {
  if (source == nullptr || !Guarded(dir, name)) return 1;
  if (IsFileLocked(dir + name)) {
    NoteFailure(u"the local file is in use or missing");
    return 2;
  }
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
  if (!Guarded(dir, name)) {
    NoteFailure(u"the local path leads through a link or is not a tree path");
    return 3;
  }
  const std::u16string full = dir + name;
  if (IsFileLocked(full)) {
    NoteFailure(u"the local file is in use, missing or cannot be read");
    return 2;
  }
  // A stream only ever serves as the source of a copy: reading is enough.
  const int32_t opened = stream.Open(full, /*read_only=*/true);
  if (opened != 0) {
    NoteFailure(u"the local file could not be opened for reading");
    return opened;
  }
  streamPath = full;
  const std::u16string key = KeyBelowRoot(root, dir, name);
  const auto seen = key.empty() ? fileStamps.end() : fileStamps.find(key);
  streamChecked = stampsLoaded && seen != fileStamps.end();
  if (streamChecked) streamStamp = seen->second;
  return 0;
}

int32_t CLocalFileSystem::OpenStream(std::u16string path) {
  return OpenStream(root, std::move(path));
}

int32_t CLocalFileSystem::ReadStream(uint8_t* buffer, int32_t size) {
  const int32_t n = stream.Read(buffer, size);
  if (n < 0) {
    if (stream.IsOpen()) NoteFailure(u"the local file could not be read");
    return n;
  }
  CountBytes(static_cast<std::uint64_t>(n));
  if (n < size && streamChecked) {
    // The end of the file: what was read must be the file the load saw.
    // A write while it was read shows in its time or its size.
    streamChecked = false;
    platform::FileAttributes now;
    if (!platform::CurrentEnv()->GetEntryAttributes(streamPath, &now) ||
        now.is_symbolic_link || now.is_directory ||
        !(FileStamp{now.size, now.last_write_time} == streamStamp)) {
      NoteFailure(u"the local file changed while it was read");
      return -1;
    }
  }
  return n;
}

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

int32_t CLocalFileSystem::WriteStream(const uint8_t* buffer, int32_t size) {
  return stream.Write(buffer, size);
}

int32_t CLocalFileSystem::CloseStream() {
  streamChecked = false;
  return stream.Close();
}

int32_t CLocalFileSystem::Release() {
  delete this;
  return 0;
}

// ---- Transfer lanes -----------------------------------------------------------

CLocalFileSystem* CLocalFileSystem::NewTransferLane() const {
  auto* lane = new CLocalFileSystem();
  lane->root = root;
  lane->dirMap = dirMap;
  lane->fileMap = fileMap;
  lane->fileStamps = fileStamps;
  lane->stampsLoaded = stampsLoaded;
  return lane;
}

namespace {

void CopyStamp(const FileStampMap& from, FileStampMap* to, const std::u16string& key) {
  const auto found = from.find(key);
  if (found == from.end()) {
    to->erase(key);
  } else {
    (*to)[key] = found->second;
  }
}

}  // namespace

void CLocalFileSystem::LendStamp(CLocalFileSystem* lane, const std::u16string& key) const {
  CopyStamp(fileStamps, &lane->fileStamps, key);
}

void CLocalFileSystem::TakeStamp(const CLocalFileSystem& lane, const std::u16string& key) {
  CopyStamp(lane.fileStamps, &fileStamps, key);
}
