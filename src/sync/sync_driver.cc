#include "sync/sync_driver.h"

#include <memory>

#include "fs/local_file_system.h"
#include "fs/s3_file_system.h"
#include "fs/virtual_file_system.h"
#include "platform/env.h"
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

int32_t RunSynchronization(const std::u16string& local_root,
                           const std::u16string& catalog_root,
                           const std::u16string& s3_root,
                           SyncObserver* observer, bool dry_run) {
  CQUEXFSManager* const local = new CLocalFileSystem();
  CQUEXFSManager* const catalog = new CVirtualFileSystem();
  CQUEXFSManager* const remote = new CS3FileSystem();
  auto release_all = [&] {
    local->Release();
    catalog->Release();
    remote->Release();
  };

  local->SetRoot(local_root);
  catalog->SetRoot(catalog_root);
  remote->SetRoot(s3_root);

  local->LoadTree();
  catalog->LoadTree();
  if (!LocalTreeLoadedWhole(*local) || !CatalogLoadedWhole(*catalog) ||
      !NoLinkHidesARecord(*local, *catalog)) {
    release_all();
    return kSyncRunLocalFailed;
  }
  if (remote->LoadTree() != 0) {
    release_all();
    return kSyncRunRemoteFailed;
  }

  auto engine = std::make_unique<CSyncEngine>();
  engine->SetObserver(observer);
  engine->SetDryRun(dry_run);
  engine->RunSync(local, remote, catalog);
  release_all();  // the file systems go before the engine
  engine.reset();
  return kSyncRunDone;
}
