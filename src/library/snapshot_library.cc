// The snapshot-assisted library: one version per path, and transfers of
// files in use retried from snapshot copies (linked with SnapKeeper).
#include "common/layout_policy.h"
#include "snapshot/snapshot_pass.h"

const LayoutPolicy& LibraryLayout() { return SnapshotLayout(); }
