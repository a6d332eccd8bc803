#include "sync/sync_driver.h"

#include <memory>
#include <vector>

#include "fs/local_file_system.h"
#include "fs/s3_file_system.h"
#include "fs/virtual_file_system.h"
#include "platform/env.h"
#include "settings/s3_config.h"
#include "sync/sync_engine.h"

namespace {

// The local tree must be there and be listed whole: a local root that is
// not mounted, or a directory that cannot be read, would otherwise look like
// files deleted by the user, and the run would delete them remotely.
bool LocalTreeLoadedWhole(const CQUEXFSManager& local) {
  platform::FileAttributes attributes;
  if (!platform::CurrentEnv()->GetFileAttributes(local.GetRoot(), &attributes) ||
      !attributes.is_directory) {
    return false;
  }
  return local.LastScanComplete();
}

// True when the last load of `fs` found a directory or a file.
bool HoldsEntries(const CQUEXFSManager& fs) {
  return fs.dirMap.Count() > 0 || fs.fileMap.Count() > 0;
}

// The components of a directory path, "." dropped and ".." resolved.
std::vector<std::u16string> PathComponents(const std::u16string& path) {
  std::vector<std::u16string> parts;
  size_t begin = 0;
  while (begin <= path.size()) {
    size_t end = path.find(u'\\', begin);
    if (end == std::u16string::npos) end = path.size();
    const std::u16string part = path.substr(begin, end - begin);
    if (part == u"..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != u".") {
      parts.push_back(part);
    }
    begin = end + 1;
  }
  return parts;
}

// The catalog is the memory of the last run: a directory of it that cannot
// be read whole, or a symbolic link in it, makes records vanish, and a
// vanished record turns into a transfer that may overwrite the newer copy.
// A catalog root that does not exist yet is a first run.
bool CatalogLoadedWhole(const CQUEXFSManager& catalog) {
  platform::FileAttributes attributes;
  if (!platform::CurrentEnv()->GetFileAttributes(catalog.GetRoot(), &attributes)) {
    return true;
  }
  return catalog.LastScanComplete() && catalog.ScannedLinks().empty();
}

// A symbolic link in the local tree is not followed, so whatever the
// catalog records at or below it would look deleted by the user: a synced
// directory replaced by a link to its new place would be deleted remotely.
bool NoLinkHidesARecord(const CQUEXFSManager& local,
                        const CQUEXFSManager& catalog) {
  for (const std::u16string& link : local.ScannedLinks()) {
    for (const CSortedMap<std::u16string>* map : {&catalog.dirMap, &catalog.fileMap}) {
      for (int i = 0; i < map->Count(); ++i) {
        const std::u16string key = map->KeyAt(i);
        if (key == link || key.compare(0, link.size() + 1, link + u"\\") == 0) {
          return false;
        }
      }
    }
  }
  return true;
}

}  // namespace

bool PathsOverlap(const std::u16string& a, const std::u16string& b) {
  const std::vector<std::u16string> x = PathComponents(a);
  const std::vector<std::u16string> y = PathComponents(b);
  const size_t common = x.size() < y.size() ? x.size() : y.size();
  for (size_t i = 0; i < common; ++i) {
    if (x[i] != y[i]) return false;
  }
  return true;
}

int32_t RunSynchronization(const std::u16string& local_root,
                           const std::u16string& catalog_root,
                           const std::u16string& s3_root,
                           SyncObserver* observer,
                           const SyncRunOptions& options) {
  if (PathsOverlap(local_root, catalog_root)) return kSyncRunCatalogOverlap;
  // The settings are read once for the whole run.
  const SettingsScope settings;

  // Keys are joined to the root as root + "\name".
  std::u16string remote_root = s3_root;
  while (remote_root.size() > 1 && remote_root.back() == u'\\') {
    remote_root.pop_back();
  }

  // Released in this order when the run ends, and whatever happens.
  ScopedFileSystem<> local(new CLocalFileSystem());
  ScopedFileSystem<> catalog(new CVirtualFileSystem());
  ScopedFileSystem<> remote(new CS3FileSystem());
  local->SetRoot(local_root);
  catalog->SetRoot(catalog_root);
  remote->SetRoot(remote_root);
  // Every map and table of the run has the capacity of the settings.
  const int capacity = CS3Config().GetSyncCapacity();
  for (CQUEXFSManager* fs : {local.get(), catalog.get(), remote.get()}) {
    fs->SetMapCapacity(capacity);
  }

  local->LoadTree();
  catalog->LoadTree();
  if (!LocalTreeLoadedWhole(*local) || !CatalogLoadedWhole(*catalog) ||
      !NoLinkHidesARecord(*local, *catalog)) {
    return kSyncRunLocalFailed;
  }
  const int32_t loaded = remote->LoadTree();
  if (loaded == CS3FileSystem::kLoadOtherLayout) return kSyncRunOtherLayout;
  if (loaded != 0) return kSyncRunRemoteFailed;
  if (!options.allow_empty && HoldsEntries(*catalog)) {
    if (!HoldsEntries(*remote)) return kSyncRunRemoteEmpty;
    if (!HoldsEntries(*local)) return kSyncRunLocalEmpty;
  }

  auto engine = std::make_unique<CSyncEngine>(capacity);
  engine->SetObserver(observer);
  engine->SetDryRun(options.dry_run);
  engine->RunSync(local.get(), remote.get(), catalog.get());
  local.reset();  // the file systems go before the engine
  catalog.reset();
  remote.reset();
  engine.reset();
  return kSyncRunDone;
}
