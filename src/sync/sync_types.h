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
// side m_iSource to side m_iTarget, with the time of that change.
struct SyncAction {
  int32_t m_iTarget = 0;
  int32_t m_iSource = 0;
  std::u16string m_strName;
  std::u16string m_strTime;
};

// Tables keyed by path (changes) and by action key (actions).
using SyncChangeTable = CSortedMap<SyncChange>;
using SyncActionTable = CSortedMap<SyncAction>;

#endif  // KELTOS3_SRC_SYNC_SYNC_TYPES_H_
