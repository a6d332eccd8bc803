// The records the synchronisation engine works with: the changes found in
// each live tree against the catalog, and the actions that carry them.

#ifndef KELTOS3_SRC_SYNC_SYNC_TYPES_H_
#define KELTOS3_SRC_SYNC_SYNC_TYPES_H_

#include <cstdint>
#include <string>

#include "common/sorted_map.h"

// Sides of a run: indexes into the applier's array of file systems.
constexpr int32_t SIDE_CATALOG = 0;
constexpr int32_t SIDE_LOCAL = 1;
constexpr int32_t SIDE_REMOTE = 2;

// Change kinds.  Directories only ever get kAdd or kDelete.
inline constexpr char16_t kChangeAdd[] = u"ADD";
inline constexpr char16_t kChangeDelete[] = u"DELETE";
inline constexpr char16_t kChangeUpdate[] = u"UPDATE";

// Capacity of every change and action table.
constexpr int kSyncTableCapacity = 100;

// One change of an entry since the last synchronisation.  For ADD and
// UPDATE the time is the live tree's time of the entry; for DELETE the
// catalog's time.
struct SyncChange {
  std::u16string m_strKind;
  std::u16string m_strTime;
};

// One operation on one side: the change of entry m_strName carried from
// side m_iSource to side m_iTarget, with the time of that change.  A copy
// that takes its content from another path of the source side (the
// conflict copies of a run that keeps both contents) names that path in
// m_strSourceName; it is empty for every other action, whose source is the
// same path.  Such a copy may have the same side as source and target.
struct SyncAction {
  int32_t m_iTarget = 0;
  int32_t m_iSource = 0;
  std::u16string m_strName;
  std::u16string m_strTime;
  std::u16string m_strSourceName;
};

// A path changed on both sides since the last run, as the run settled it.
struct SyncConflict {
  enum class Kind {
    kBothChanged,        // a file changed (or added) on both sides
    kDeletedAndChanged,  // a file deleted on one side, changed on the other
    kFileAndDirectory,   // a file on one side, a directory on the other
  };
  Kind kind = Kind::kBothChanged;
  std::u16string name;  // the path, "\docs\a.txt"
  // The side whose version keeps the path (SIDE_LOCAL or SIDE_REMOTE); for
  // kDeletedAndChanged the side whose change is carried (the deletion's
  // side when the deletion wins).
  int32_t winner = 0;
  // Where the other content is kept on both sides (a conflict copy, see
  // sync/conflict_names.h), or empty when it is not kept: the fixed rules
  // replaced or deleted it.
  std::u16string copy_name;
};

// Tables keyed by path (changes) and by action key (actions).
using SyncChangeTable = CSortedMap<SyncChange>;
using SyncActionTable = CSortedMap<SyncAction>;

#endif  // KELTOS3_SRC_SYNC_SYNC_TYPES_H_
