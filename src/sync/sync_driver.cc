#include "sync/sync_driver.h"

#include <algorithm>
#include <memory>
#include <set>
#include <vector>

#include "common/layout_policy.h"
#include "common/wide_string.h"
#include "fs/local_file_system.h"
#include "fs/name_rules.h"
#include "fs/s3_file_system.h"
#include "fs/virtual_file_system.h"
#include "platform/env.h"
#include "platform/local_names.h"
#include "settings/s3_config.h"
#include "support/event_reporter.h"
#include "sync/sync_engine.h"
#include "sync/sync_types.h"

namespace {

// The remote root as the catalog records it: the endpoint and the bucket
// with the path inside it, "s3.amazonaws.com:443 backups\\docs".
std::u16string RemoteRootText(CS3Config& config, const std::u16string& remote_root) {
  std::u16string host = config.GetHost();
  for (char16_t& c : host) {
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  }
  std::u16string bucket;
  std::u16string path;
  CS3FileSystem::SplitBucket(remote_root, &bucket, &path);
  while (!path.empty() && path.back() == u'\\') path.pop_back();
  return host + u":" + BytesToU16(std::to_string(config.GetPort())) + u" " + bucket +
         path;
}

// Snapshot-assisted layout.  Records an earlier release wrote hold the
// time of writing and nothing of the remote side.  Once a run found such a
// file unchanged on both sides, its record is written anew with the time
// each side holds, so that from now on an earlier time is a change there
// too.
void RefreshEarlierRecords(const CSyncEngine& engine, const CQUEXFSManager& local,
                           const CQUEXFSManager& remote, CVirtualFileSystem* catalog) {
  const CSortedMap<std::u16string>& recorded = catalog->fileMap;
  for (int i = 0; i < recorded.Count(); ++i) {
    const std::u16string key = recorded.KeyAt(i);
    if (!engine.Considers(key) || catalog->RemoteTimes().Find(key) >= 0 ||
        local.fileMap.Find(key) < 0 || remote.fileMap.Find(key) < 0 ||
        engine.LocalFileChanges().Find(key) >= 0 ||
        engine.RemoteFileChanges().Find(key) >= 0) {
      continue;
    }
    catalog->RefreshRecord(key);
  }
}

// Standard layout.  Records an earlier release wrote hold whole seconds.  On the run that
// gives the catalog its remote-root record, every file found unchanged on
// both sides has its record written anew with the local file's full time,
// so that from the next run on a save within the recorded second is a
// change.  A record left as it was is seen as changed by a later run (one
// more upload of the same content), never as unchanged.
void RefreshWholeSecondRecords(const CSyncEngine& engine, const CLocalFileSystem& local,
                               const CQUEXFSManager& remote, CVirtualFileSystem* catalog) {
  const CSortedMap<std::u16string>& recorded = catalog->fileMap;
  for (int i = 0; i < recorded.Count(); ++i) {
    const std::u16string key = recorded.KeyAt(i);
    if (!engine.Considers(key) || remote.fileMap.Find(key) < 0 ||
        engine.LocalFileChanges().Find(key) >= 0 ||
        engine.RemoteFileChanges().Find(key) >= 0) {
      continue;
    }
    const auto live = local.LoadedStamps().find(key);
    const auto record = catalog->LoadedStamps().find(key);
    if (live == local.LoadedStamps().end() || record == catalog->LoadedStamps().end() ||
        live->second.time == record->second.time) {
      continue;
    }
    catalog->RefreshRecord(key);
  }
}

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

// True when the last load of `fs` found a directory or a file that the run
// does not leave out.
bool HoldsEntries(const CQUEXFSManager& fs, const std::set<std::u16string>& left_out) {
  for (const CSortedMap<std::u16string>* map : {&fs.dirMap, &fs.fileMap}) {
    for (int i = 0; i < map->Count(); ++i) {
      if (!IsExcludedKey(left_out, map->KeyAt(i))) return true;
    }
  }
  return false;
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
                           const SyncRunOptions& options,
                           SyncRunFacts* facts) {
  SyncRunFacts unused;
  if (facts == nullptr) facts = &unused;
  if (PathsOverlap(local_root, catalog_root)) return kSyncRunCatalogOverlap;
  // The settings are read once for the whole run.
  const SettingsScope settings;

  // Keys are joined to the root as root + "\name".
  std::u16string remote_root = s3_root;
  while (remote_root.size() > 1 && remote_root.back() == u'\\') {
    remote_root.pop_back();
  }

  // Released in this order when the run ends, and whatever happens.
  ScopedFileSystem<CLocalFileSystem> local(new CLocalFileSystem());
  ScopedFileSystem<CVirtualFileSystem> catalog(new CVirtualFileSystem());
  ScopedFileSystem<CS3FileSystem> remote(new CS3FileSystem());
  local->SetRoot(local_root);
  catalog->SetRoot(catalog_root);
  remote->SetRoot(remote_root);
  // Every map and table of the run has the capacity of the settings.
  CS3Config config;
  const int capacity = config.GetSyncCapacity();
  for (CQUEXFSManager* fs : {static_cast<CQUEXFSManager*>(local.get()),
                             static_cast<CQUEXFSManager*>(catalog.get()),
                             static_cast<CQUEXFSManager*>(remote.get())}) {
    fs->SetMapCapacity(capacity);
  }

  local->LoadTree();
  catalog->LoadTree();
  if (!LocalTreeLoadedWhole(*local) || !CatalogLoadedWhole(*catalog) ||
      !NoLinkHidesARecord(*local, *catalog)) {
    return kSyncRunLocalFailed;
  }
  // The catalog describes the tree of the remote root it was made with.
  facts->run_remote_root = RemoteRootText(config, remote_root);
  std::u16string recorded_root;
  switch (catalog->ReadRemoteRoot(&recorded_root)) {
    case CVirtualFileSystem::RootRecord::kUnreadable:
      return kSyncRunLocalFailed;
    case CVirtualFileSystem::RootRecord::kRead:
      facts->catalog_remote_root = recorded_root;
      if (recorded_root != facts->run_remote_root) return kSyncRunOtherRemoteRoot;
      break;
    case CVirtualFileSystem::RootRecord::kNone:
      break;
  }
  const int32_t loaded = remote->LoadTree();
  if (loaded == CS3FileSystem::kLoadOtherLayout) return kSyncRunOtherLayout;
  if (loaded != 0) return kSyncRunRemoteFailed;

  // Keys the local tree cannot hold (two that differ only in case where it
  // folds case, names Windows refuses) are left out of the run and
  // reported with the entries the scan left out, and a local entry whose
  // name differs from its key only in case stands for it
  // (fs/name_rules.h).
  LocalNameRules rules;
  if (config.GetSyncLocalNames() == kSyncLocalNamesWindows) {
    rules.win32_names = true;
    rules.fold_case = true;
  } else {
    rules.win32_names = platform::LocalNamesFollowWin32Rules();
    rules.fold_case = DetectCaseFolding(*local, !options.dry_run);
  }
  const NameRulesOutcome names = ApplyNameRules(rules, *local, *catalog, *remote);
  local->StandFor(names.local_renames);
  for (const LeftOutKey& entry : names.left_out) {
    Trace(u"LEFTOUT : " + entry.key + u" : " + NameRuleText(entry.rule, entry.held) +
          u"\r\n");
    local->NoteLeftOut(LeftOutEntry{entry.key, entry.rule == NameRule::kCaseTwin
                                                   ? LeftOutReason::kCaseTwin
                                                   : LeftOutReason::kNameRefused});
  }

  const std::set<std::u16string>& left_out = names.excluded;
  const bool one_side_empty =
      HoldsEntries(*catalog, left_out) &&
      (!HoldsEntries(*remote, left_out) || !HoldsEntries(*local, left_out));
  if (!options.allow_empty && HoldsEntries(*catalog, left_out)) {
    if (!HoldsEntries(*remote, left_out)) return kSyncRunRemoteEmpty;
    if (!HoldsEntries(*local, left_out)) return kSyncRunLocalEmpty;
  }

  if (observer != nullptr) {
    observer->OnTreesLoaded(local.get(), remote.get(), catalog.get());
  }
  auto engine = std::make_unique<CSyncEngine>(capacity);
  engine->SetObserver(observer);
  engine->SetDryRun(options.dry_run);
  engine->SetKeepConflicts(config.GetSyncConflicts() == kSyncConflictsKeep);
  SyncTimeSources times;
  times.local = &local->LoadedStamps();
  times.catalog = &catalog->LoadedStamps();
  times.whole_second_records = recorded_root.empty();
  if (!CurrentLayout().CarriesFileTimes()) {
    times.remote_records = &catalog->RemoteTimes();
    times.remote_listed = &remote->ListedTimes();
  }
  engine->SetTimeSources(times);
  engine->SetLeftOut(names.excluded);
  catalog->SetLiveSides(local.get(), remote.get());
  engine->Plan(local.get(), remote.get(), catalog.get());

  // A side that lost most of what the catalog records is more likely wrong
  // than emptied by hand: the run would carry the loss to the other side.
  facts->local_deletions = engine->DeletionsOn(SIDE_LOCAL);
  facts->remote_deletions = engine->DeletionsOn(SIDE_REMOTE);
  facts->recorded_files = engine->RecordedFiles();
  facts->max_delete_percent = options.max_delete_percent >= 0
                                  ? std::min(options.max_delete_percent, 100)
                                  : config.GetSyncMaxDelete();
  if (!(options.allow_empty && one_side_empty)) {
    auto too_many = [facts](int64_t deletions) {
      return deletions > 0 &&
             deletions * 100 > facts->recorded_files * facts->max_delete_percent;
    };
    const bool local_refused = too_many(facts->local_deletions);
    const bool remote_refused = too_many(facts->remote_deletions);
    if (local_refused || remote_refused) {
      facts->refused_side =
          !remote_refused || (local_refused &&
                              facts->local_deletions >= facts->remote_deletions)
              ? SIDE_LOCAL
              : SIDE_REMOTE;
      return kSyncRunTooManyDeletions;
    }
  }

  if (!options.dry_run && recorded_root.empty()) {
    // A catalog without the record takes this run's root.  One that cannot
    // take it now is given it by a later run.
    catalog->WriteRemoteRoot(facts->run_remote_root);
  }
  engine->ApplyActions(local.get(), remote.get(), catalog.get());
  if (options.dry_run) {
    // nothing is written
  } else if (!CurrentLayout().CarriesFileTimes()) {
    RefreshEarlierRecords(*engine, *local, *remote, catalog.get());
  } else if (times.whole_second_records) {
    RefreshWholeSecondRecords(*engine, *local, *remote, catalog.get());
  }
  local.reset();  // the file systems go before the engine
  catalog.reset();
  remote.reset();
  engine.reset();
  return kSyncRunDone;
}
