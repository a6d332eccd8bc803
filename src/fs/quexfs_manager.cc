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
  m_leftOut.clear();
  m_iDirsFound = 0;
  m_iFilesFound = 0;
  if (stamps != nullptr) stamps->clear();
  ScanDirectoryLevel(relative, variant, skip_dot_dirs, stamps);
  if (stamps != nullptr) PruneStamps(stamps);
  return 0;
}

std::vector<std::u16string> CQUEXFSManager::ScannedLinks() const {
  std::vector<std::u16string> links;
  for (const LeftOutEntry& entry : m_leftOut) {
    if (entry.reason == LeftOutReason::kSymbolicLink) links.push_back(entry.key);
  }
  return links;
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
    if (entry.unreadable) {  // a file or a directory: nobody can tell
      m_bScanComplete = false;
      continue;
    }
    const std::u16string key = relative + u"\\" + name;
    auto leave_out = [this, &key](LeftOutReason reason) {
      m_leftOut.push_back(LeftOutEntry{key, reason});
    };
    if (entry.is_symbolic_link) {
      leave_out(LeftOutReason::kSymbolicLink);
    } else if (entry.name_not_text) {
      leave_out(LeftOutReason::kNameNotText);
    } else if (name.find(u'\\') != std::u16string::npos) {
      leave_out(LeftOutReason::kNameHoldsBackslash);
    } else if (entry.is_directory) {
      if (skip_dot_dirs && name[0] == u'.') {
        leave_out(LeftOutReason::kDotDirectory);
        continue;
      }
      if (fills_dirs) {
        ++m_iDirsFound;
        dirMap.Set(key, FormatTimeText(entry.last_write_time));
      }
      ScanDirectoryLevel(key, variant, skip_dot_dirs, stamps);
    } else if (IsCopyFileName(name)) {
      leave_out(LeftOutReason::kWorkFileName);
    } else if (fills_files) {
      ++m_iFilesFound;
      fileMap.Set(key, FormatTimeText(entry.last_write_time));
      if (stamps != nullptr && fileMap.Find(key) >= 0) {
        (*stamps)[key] = FileStamp{entry.size, entry.last_write_time};
        // Keys a full map drops again later are not kept for long.
        if (stamps->size() > 2 * static_cast<size_t>(fileMap.Capacity())) {
          PruneStamps(stamps);
        }
      }
    }
  }
  if (entries->Failed()) m_bScanComplete = false;
}
