#include "fs/quexfs_manager.h"

#include <iterator>
#include <memory>

#include "fs/tree_names.h"
#include "platform/env.h"
#include "platform/file.h"
#include "support/time_text.h"

std::u16string CQUEXFSManager::FormatTimeText(platform::FileTime time) {
  return ::FormatTimeText(time);
}

platform::FileTime CQUEXFSManager::ParseTimeText(const std::u16string& text) {
  platform::FileTime time = 0;
  ::ParseTimeText(text, &time);
  return time;
}

int32_t CQUEXFSManager::ScanDirectoryTree(const std::u16string& relative,
                                          ScanVariant variant,
                                          bool skip_dot_dirs,
                                          FileStampMap* stamps) {
  m_bScanComplete = true;
  m_links.clear();
  if (stamps != nullptr) stamps->clear();
  ScanDirectoryLevel(relative, variant, skip_dot_dirs, stamps);
  if (stamps != nullptr) PruneStamps(stamps);
  return 0;
}

void CQUEXFSManager::PruneStamps(FileStampMap* stamps) const {
  for (auto it = stamps->begin(); it != stamps->end();) {
    it = fileMap.Find(it->first) < 0 ? stamps->erase(it) : std::next(it);
  }
}

void CQUEXFSManager::ScanDirectoryLevel(const std::u16string& relative,
                                        ScanVariant variant,
                                        bool skip_dot_dirs,
                                        FileStampMap* stamps) {
  std::unique_ptr<platform::DirectoryIterator> entries =
      platform::CurrentEnv()->OpenDirectory(root + relative);
  if (entries == nullptr) {  // a missing directory adds nothing
    m_bScanComplete = false;
    return;
  }

  const bool fills_dirs = variant != ScanVariant::kFilesOnly;
  const bool fills_files = variant != ScanVariant::kDirsOnly;
  platform::DirectoryEntry entry;
  // Read to the end even when the maps are full: a key met later may be
  // lower than the ones they hold.
  while (entries->Next(&entry)) {
    const std::u16string& name = entry.name;
    if (name.empty() || name == u"." || name == u"..") continue;
    if (name.find(u'\\') != std::u16string::npos) continue;
    if (entry.unreadable) {  // a file or a directory: nobody can tell
      m_bScanComplete = false;
      continue;
    }
    const std::u16string key = relative + u"\\" + name;
    if (entry.is_symbolic_link) {
      m_links.push_back(key);
      continue;
    }
    if (entry.is_directory) {
      if (skip_dot_dirs && name[0] == u'.') continue;
      if (fills_dirs) dirMap.Set(key, FormatTimeText(entry.last_write_time));
      ScanDirectoryLevel(key, variant, skip_dot_dirs, stamps);
    } else {
      if (IsCopyFileName(name)) continue;
      if (!fills_files) continue;
      fileMap.Set(key, FormatTimeText(entry.last_write_time));
      if (stamps != nullptr && fileMap.Find(key) >= 0) {
        (*stamps)[key] = FileStamp{entry.size, entry.last_write_time};
        // Keys a full map drops again later are not kept for long.
        if (stamps->size() > 2 * static_cast<size_t>(kTreeMapCapacity)) {
          PruneStamps(stamps);
        }
      }
    }
  }
  if (entries->Failed()) m_bScanComplete = false;
}
