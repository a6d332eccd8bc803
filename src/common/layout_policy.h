// How a library lays out what it stores and what its copies carry.
//
// Two layouts share every source file.  The standard layout names each
// stored version of a path by a stamp ("$file$/docs/a.txt_<stamp>_Info",
// stored name "\docs\a.txt_<stamp>") and keeps several versions of a
// path; copies into the local tree and the catalog carry the source's
// time.  The snapshot-assisted layout keeps one version per path under
// "$file$/docs/a.txt_Info", stored over in place; its copies take the
// time of writing (the catalog keeps the remote side's own times beside
// its records), its tree loads list again without pausing, its transport
// writes an error answer without an S3 error document to the event log,
// and its synchronisation retries transfers of files in use from snapshot
// copies.  Stored data of one layout is not read correctly by the other.
//
// Each library links the same objects and one file of its own
// (src/library/) that defines LibraryLayout(): the standard library the
// standard layout, the snapshot-assisted library the other.  The test
// program defines it from its environment, so that one program runs the
// suite for either layout.
//
// Thread safety: a policy is immutable; every function may be called from
// any thread.

#ifndef KELTOS3_SRC_COMMON_LAYOUT_POLICY_H_
#define KELTOS3_SRC_COMMON_LAYOUT_POLICY_H_

class InUsePass;

class LayoutPolicy {
 public:
  virtual ~LayoutPolicy() = default;

  // Stored versions are named by a stamp, several per path.  Otherwise a
  // path has one index object, stored over in place, and no stamp.
  virtual bool VersionedKeys() const = 0;

  // Copies into the local tree and the catalog carry the source's time
  // (the file systems' SetModifiedTime and GetModifiedTime).  Otherwise
  // they take the time of writing, and the catalog records the remote
  // side's time of each file beside its record.
  virtual bool CarriesFileTimes() const = 0;

  // A remote tree load pauses "RequestPause" between its listing attempts.
  virtual bool PausesBetweenListings() const = 0;

  // An error answer whose text holds no S3 error document is written to
  // the event log.
  virtual bool ReportsPlainErrorAnswers() const = 0;

  // The pass that retries the transfers of files in use from snapshot
  // copies (sync/in_use_pass.h), or null when the layout has none.
  virtual const InUsePass* InUseRetry() const = 0;
};

// The standard layout.
const LayoutPolicy& StandardLayout();

// The layout this library works with.  Defined once per library.
const LayoutPolicy& LibraryLayout();

// The layout every object of this library works with: LibraryLayout().
inline const LayoutPolicy& CurrentLayout() { return LibraryLayout(); }

#endif  // KELTOS3_SRC_COMMON_LAYOUT_POLICY_H_
