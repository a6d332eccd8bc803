// KeltoS3: the public interface a backup host compiles against.
//
// The host loads libKeltoS3.so (KeltoS3.dll on Windows), creates a manager
// object and file objects through the factory functions below, drives each
// file object through the KS3File interface, and hands every object back to
// the matching Destroy function (the interfaces have no virtual destructor:
// never delete through them).  Strings are zero-terminated wide strings
// (wchar_t).
//
// No exception crosses this interface: the factories catch everything and
// return 1, every other operation returns a small integer code.
//
// Configuration comes from the INI file "Kelto.ini" beside the host
// executable (or the file named by the environment variable KELTOS3_INI),
// section "ONLINE"; see README.md for every key.
//
// Thread safety: objects are not shared between threads; the host
// serialises calls on one object.  Different objects may be used on
// different threads.

#ifndef KELTOS3_INCLUDE_KELTOS3_H_
#define KELTOS3_INCLUDE_KELTOS3_H_

// KELTOS3_API marks what the library exports.  On Windows the library is
// KeltoS3.dll: the functions below are exported under their plain names
// with the cdecl convention whatever the host compiler's default, and
// wchar_t is UTF-16 (see docs/windows.md for linking from other compilers).
#if defined(_WIN32)
#if defined(KELTOS3_BUILDING_LIBRARY)
#define KELTOS3_API __declspec(dllexport)
#else
#define KELTOS3_API __declspec(dllimport)
#endif
#define KELTOS3_CDECL __cdecl
#else
#if defined(KELTOS3_BUILDING_LIBRARY)
#define KELTOS3_API __attribute__((visibility("default")))
#else
#define KELTOS3_API
#endif
#define KELTOS3_CDECL
#endif

// The manager object.  In this system it is a placeholder interface: every
// operation ignores its arguments and returns zero.  Its construction
// prepares the working folder "S3Data" beside the host executable.
class KELTOS3_API KS3FilesManager {
 public:
  KS3FilesManager();
  KS3FilesManager(const KS3FilesManager&);
  KS3FilesManager& operator=(const KS3FilesManager&);

  virtual int Reserved0(int) = 0;
  virtual int Reserved1(int) = 0;
  virtual int Reserved2(int, int, int) = 0;
  virtual int Reserved3(int) = 0;
  virtual int Reserved4(int, int, int) = 0;
  virtual int Reserved5(int) = 0;
  virtual long long Reserved6(int) = 0;
  virtual int Reserved7(int, int, int, int, int, int, int, int) = 0;
};

// A file object: stores one file in S3 as a byte stream and reads a stored
// version back with seeking.
class KELTOS3_API KS3File {
 public:
  KS3File();
  KS3File(const KS3File&);
  KS3File& operator=(const KS3File&);

  // Opens `path` (library form, "\" separators).  For writing a new version
  // pass the plain path; for reading pass a stored name (path + "_" + stamp,
  // as GetDirList lists it).  Returns 0 when no stored version exists (ready
  // to write), 1 when a version was opened and its first chunk loaded, 2
  // when a version was found but fetching its first chunk failed.
  virtual int Open(const wchar_t* path) = 0;

  // Appends `length` bytes to the version being written; `last` non-zero
  // ends the version and stores its index object.  Returns 0 when done, 1
  // when a chunk upload or the index store failed.
  virtual int Write(const char* data, int length, int last) = 0;

  // Copies up to `length` bytes of the opened version to `destination`.
  // Returns the bytes delivered (0 at the end or when nothing is open), or
  // -1 when fetching a chunk failed.
  virtual int Read(void* destination, unsigned int length) = 0;

  // Size of the opened version; while writing, the bytes stored so far.
  virtual long long GetSize() = 0;

  // Moves the read position; origin 0 = begin, 1 = current, 2 = end.
  // Returns 0 when done, 1 when the position was refused, 2 when fetching
  // the chunk failed.
  virtual int Seek(long long offset, int origin) = 0;

  // Runs one three-way synchronisation between a local directory tree, a
  // local catalog directory and a remote tree (a bucket name, optionally
  // followed by a path inside it).  Returns 0 when the run was carried out,
  // 1 when it changed nothing because a tree could not be loaded or the run
  // was refused as unsafe (KeltoS3Synchronize below tells the reasons apart).
  virtual int Synchronize(const wchar_t* local_root, const wchar_t* catalog_root,
                          const wchar_t* s3_root) = 0;

  // Returns 1 when a request to the service root succeeds, else 0.
  virtual int TestConnection() = 0;
};

// Base64 codec.
class KELTOS3_API CBase64 {
 public:
  CBase64();
  CBase64(const CBase64&);
  CBase64& operator=(const CBase64&);
  virtual ~CBase64();

  // Encodes `source_length` bytes with the standard alphabet and "="
  // padding, breaking lines with "\r\n" after every line of `line_length`
  // characters, and writes a terminating zero.  `destination` must hold 4
  // characters per started group of 3 bytes, 2 per line break and 1 for the
  // terminator.  Returns the characters written, terminator excluded.
  int EncodeBase64(const unsigned char* source, char* destination,
                   int source_length, int line_length);

  // Decodes at most `source_length` characters of `source` (never reading
  // beyond them), skipping line breaks between groups, and writes a
  // terminating zero byte after the decoded bytes.  `destination` must hold
  // 3 bytes per started group of 4 characters plus 1.  Returns the bytes
  // decoded.
  int DecodeBase64(const char* source, unsigned char* destination,
                   int source_length);
};

extern "C" {

// Manager factory pair.  Create destroys an object already held in *out,
// then stores a new manager in *out and returns 0, or returns 1 with *out
// null.  Destroy destroys *out (null is accepted), sets it to null and
// returns 0, or 1 when an exception occurred.
KELTOS3_API int KELTOS3_CDECL CreateS3FileManagerObject(KS3FilesManager** out);
KELTOS3_API int KELTOS3_CDECL DestroyS3FileManagerObject(KS3FilesManager** out);

// File-object factory pair, the same pattern as the manager's.  A new file
// object takes the buckets ("QuexBucket", "QuexDataBucket") and the chunk
// size ("QuexS3BufferSize"; 1048576 when 0 or less) from the settings, and
// the RFC 1123 date text of its creation ("Tue, 27 Mar 2007 19:36:42 GMT")
// as the version stamp of what it stores: a file written through it is
// read back by opening path + "_" + that stamp.  When a version of the path
// already has that stamp as the last Write finishes (two stores of the path
// within one second), the new version is named with the next second that
// none has, waiting for it (at most a few seconds; the Write fails when
// none comes free), so that no version is ever replaced; GetDirList shows
// the name.  Write is refused until the object is opened, and after the
// last Write of a version the object must be opened again.
//
// The snapshot-assisted build of the library keeps one version per path and
// has no stamps: the stored name is the plain path (index object
// $file$\docs\a.txt_Info in GetDirList), storing a path again replaces its
// version, and DeleteS3File takes the plain path.
KELTOS3_API int KELTOS3_CDECL CreateS3FileObject(KS3File** out);
KELTOS3_API int KELTOS3_CDECL DestroyS3FileObject(KS3File** out);

// The total size in bytes of every object in the data bucket, summed over
// all listing pages.  A failed page ends the sum: what was gathered before
// it is returned (0 when the first page fails).  Pages that do not lead to
// an end (a marker that does not move on, more than 100,000 pages) fail the
// listing the same way, reported to the event log, with the thread's last
// error 12500.
KELTOS3_API unsigned long long KELTOS3_CDECL GetUsedSpace(void);

// Deletes one stored version, `name` being its stored name in library form
// (path + "_" + stamp, e.g. \docs\a.txt_Tue, 27 Mar 2007 19:36:42 GMT; for
// a GetDirList entry of an index object, the entry without its leading
// "$file$" and trailing "_Info").  Deletes the index object, then every
// chunk it lists that no other index object of the path names.  When no
// index object is listed, or it (or another of the path) cannot be read
// whole, nothing is deleted.  Always returns 0; failed deletions are not
// reported (a chunk left behind is found by KeltoS3Prune).
KELTOS3_API int KELTOS3_CDECL DeleteS3File(const wchar_t* name);

// Every key of the backup bucket in listing order, each converted to local
// form ("$folder$" and every "/" become "\") and followed by ";": folder
// markers as \docs\2009, index objects as
// $file$\docs\a.txt_<stamp>_Info.  Creates the backup bucket when it is
// missing.  A failed page ends the list with what was gathered before it;
// so do pages that do not lead to an end, reported as for GetUsedSpace.
// The text belongs to the library and stays valid until the next
// GetDirList call on the same thread.
KELTOS3_API const wchar_t* KELTOS3_CDECL GetDirList(void);

// Addition for this platform: the calling thread's last-error value.  It is
// 12500 after an operation that received an error answer from S3.
KELTOS3_API unsigned int KELTOS3_CDECL KeltoS3GetLastError(void);

// Additions for hosts that talk to people.
//
// KeltoS3GetLastErrorText: why the calling thread's last failure happened,
// in words: the S3 error code and message of a refused request
// ("NoSuchBucket: The specified bucket does not exist"), the transport's
// reason for an exchange that got no answer (a TLS certificate that did not
// verify says "certificate"; a host that cannot be reached, a deadline that
// passed), or "the server answered with HTTP status N" for an error answer
// without an S3 error document.  Like KeltoS3GetLastError it is kept per
// thread and stays until the next failure replaces it; a success does not
// clear it, and requests that failed before a repeat succeeded leave it
// set.  Empty until a failure happened on the thread.  The text belongs to
// the library and stays valid until the next call on the same thread.
KELTOS3_API const wchar_t* KELTOS3_CDECL KeltoS3GetLastErrorText(void);

// The loaded library: "KeltoS3 <version>, standard build" or
// "KeltoS3 <version>, snapshot-assisted build".  A static text.
KELTOS3_API const wchar_t* KELTOS3_CDECL KeltoS3GetVersion(void);

// Whether the service listing of the configured account names `bucket`:
// 1 it does, 0 it does not, -1 the listing failed (see
// KeltoS3GetLastErrorText).
KELTOS3_API int KELTOS3_CDECL KeltoS3BucketExists(const wchar_t* bucket);

// Creates `bucket` (private, the endpoint's default region).  Returns 0 when
// the service created it, 1 when it refused or did not answer (an existing
// bucket is refused by most services).
KELTOS3_API int KELTOS3_CDECL KeltoS3CreateBucket(const wchar_t* bucket);

// The size in bytes of the stored version `stored_name` (as DeleteS3File
// takes it) from its index object, and the time its index object was stored
// (Unix seconds, from the listing).  Returns 0 with both filled, 1 when no
// such version is listed, 2 when it could not be read (see
// KeltoS3GetLastErrorText).  Either pointer may be null.
KELTOS3_API int KELTOS3_CDECL KeltoS3GetStoredInfo(const wchar_t* stored_name,
                                                  long long* size,
                                                  long long* stored_time);

// Gives up the version a file object is writing: the chunks it stored for
// it (or tried to) are deleted, except those that a stored version of the
// same path names, and the object is reset (Write is refused until the next
// Open).  For a host that stops a store half-way (a user's Ctrl-C, a read
// error of its own), so that no chunk is left that no index object names.
// Returns 0 when nothing of the version is left (also when nothing was
// written), 1 when some chunks could not be deleted or the path's stored
// versions could not be listed to tell which chunks they name (then none are
// deleted).  An object that is reading, or that just finished a version,
// has nothing to give up: 0.
KELTOS3_API int KELTOS3_CDECL KeltoS3AbandonWrite(KS3File* file);

// Addition for hosts that show or rehearse a synchronisation: the run of
// KS3File::Synchronize with a callback that sees every action.
//
// The callback receives the action key (such as "FILEADD00001"), the path
// of the entry ("\docs\a.txt"), the sides it is carried between (source
// and target: 0 catalog, 1 local tree, 2 remote tree), the time text of the
// change, the outcome (KELTOS3_SYNC_DONE: the operation ran and `result` is
// what it returned, 0 meaning success; KELTOS3_SYNC_SKIPPED: the catalog
// record of a failed transfer, not made; KELTOS3_SYNC_PLANNED: dry run) and
// that result.  The texts are valid during the call only.  With the
// snapshot-assisted library an action whose local file was in use is
// reported a second time, under the same action key, when the end of the
// run carried it from a snapshot copy (and so is its catalog record).
//
// With KELTOS3_SYNC_DRY_RUN in `flags`, the trees are loaded and the actions
// reported, but nothing is changed.  Returns KELTOS3_SYNC_OK when the run
// was carried out, KELTOS3_SYNC_ERROR for a null root or an internal
// failure, and otherwise one of these reasons why the run changed nothing:
//   KELTOS3_SYNC_REMOTE_FAILED   the remote tree could not be listed
//   KELTOS3_SYNC_LOCAL_FAILED    the local tree could not be read whole: its
//                                root is missing, or a directory or an
//                                entry in it cannot be read, or a directory
//                                the catalog records is a symbolic link
//   KELTOS3_SYNC_REMOTE_EMPTY    the remote tree lists nothing while the
//                                catalog records entries (a wrong bucket or
//                                endpoint, an emptied bucket)
//   KELTOS3_SYNC_LOCAL_EMPTY     the local tree is empty while the catalog
//                                records entries (an unmounted disk)
//   KELTOS3_SYNC_OTHER_LAYOUT    the remote tree holds index objects in the
//                                form of the other build of the library
//   KELTOS3_SYNC_CATALOG_OVERLAP the catalog root is the local root, lies
//                                inside it or contains it
//   KELTOS3_SYNC_TOO_MANY_DELETIONS
//                                the changes found would delete more than
//                                "SyncMaxDelete" percent (50 by default) of
//                                the files the catalog records on the local
//                                or the remote side
//   KELTOS3_SYNC_OTHER_REMOTE_ROOT
//                                the catalog was made with another remote
//                                root (endpoint, bucket or path); pair this
//                                tree with that root through a new catalog
//                                folder
// KELTOS3_SYNC_ALLOW_EMPTY in `flags` lets a run go on with an empty side
// (the user emptied it on purpose): the catalog's entries are then deleted
// on the other side, and the share of deletions is not limited.
typedef void(KELTOS3_CDECL* KeltoS3SyncCallback)(
    void* context, const wchar_t* action_key, const wchar_t* name, int source,
    int target, const wchar_t* time, int outcome, int result);

#define KELTOS3_SYNC_DRY_RUN 1
#define KELTOS3_SYNC_ALLOW_EMPTY 2

#define KELTOS3_SYNC_DONE 0
#define KELTOS3_SYNC_SKIPPED 1
#define KELTOS3_SYNC_PLANNED 2

#define KELTOS3_SYNC_OK 0
#define KELTOS3_SYNC_REMOTE_FAILED 1
#define KELTOS3_SYNC_LOCAL_FAILED 2
#define KELTOS3_SYNC_ERROR 3
#define KELTOS3_SYNC_REMOTE_EMPTY 4
#define KELTOS3_SYNC_LOCAL_EMPTY 5
#define KELTOS3_SYNC_OTHER_LAYOUT 6
#define KELTOS3_SYNC_CATALOG_OVERLAP 7
#define KELTOS3_SYNC_TOO_MANY_DELETIONS 8
#define KELTOS3_SYNC_OTHER_REMOTE_ROOT 9

KELTOS3_API int KELTOS3_CDECL KeltoS3Synchronize(
    const wchar_t* local_root, const wchar_t* catalog_root,
    const wchar_t* s3_root, int flags, KeltoS3SyncCallback callback,
    void* context);

// Addition for hosts that carry a whole tree and report on it: the run of
// KeltoS3Synchronize with everything a report needs, in structures that
// start with their own size so that later versions can add fields at the
// end.  The caller sets every `size` field to sizeof of its structure; the
// library reads and writes nothing beyond it.
//
// One call is one run: at most "SyncCapacity" less 5 actions.  When the
// report's actions_dropped is above 0 the run had more work than room, and
// the next call carries on where it stopped (keltos3 sync repeats calls
// until nothing is left).  A tree larger than the capacity is carried only
// up to it (left_out[KELTOS3_LEFT_OUT_CAPACITY]).
//
// Returns what KeltoS3Synchronize returns (KELTOS3_SYNC_ERROR also for a
// params or report structure smaller than the first version of it).

// Why an entry of a tree was left out of a run (indexes of left_out).
#define KELTOS3_LEFT_OUT_DOT_DIRECTORY 0  // a local directory named ".*", with
                                          // everything below it
#define KELTOS3_LEFT_OUT_LINK 1           // a local symbolic link or junction
#define KELTOS3_LEFT_OUT_NAME_BACKSLASH 2  // a local name holding "\", which
                                           // would read as two components
#define KELTOS3_LEFT_OUT_NAME_NOT_TEXT 3  // a local name that is not valid
                                          // UTF-8 (Windows: UTF-16)
#define KELTOS3_LEFT_OUT_WORK_FILE_NAME 4  // a local file named like the
                                           // library's work files
                                           // (.keltos3-*.keltos3-tmp)
#define KELTOS3_LEFT_OUT_CAPACITY 5  // beyond "SyncCapacity" (local or remote)
#define KELTOS3_LEFT_OUT_CASE_TWIN 6  // a key (of any tree) that differs only
                                      // in case from one the local tree
                                      // holds, where names that differ in
                                      // case name one file (Windows), with
                                      // everything below it
#define KELTOS3_LEFT_OUT_NAME_REFUSED 7  // a key (of any tree) whose name
                                         // Windows refuses (CON, NUL, COM1,
                                         // <>:"|?*, a trailing dot or
                                         // space), with everything below it
#define KELTOS3_LEFT_OUT_SLOTS 8     // size of the left_out array

typedef struct KeltoS3SyncReport {
  unsigned int size;  // set by the caller
  // 1 when the stop request ended the run before its last action.
  int stopped;
  // Actions of this run's table (transfers, deletions, catalog records),
  // and actions found that did not fit into it.
  int actions_planned;
  int actions_dropped;
  // Bytes of the files this run uploaded and downloaded (successful
  // transfers only).
  unsigned long long bytes_sent;
  unsigned long long bytes_received;
  // Entries left out of the run, by reason (KELTOS3_LEFT_OUT_*).
  unsigned int left_out[KELTOS3_LEFT_OUT_SLOTS];
  // 1 when a tree filled "SyncCapacity": the remote tree may hold more
  // entries beyond it than left_out[KELTOS3_LEFT_OUT_CAPACITY] counts.
  int capacity_reached;
  // KELTOS3_SYNC_TOO_MANY_DELETIONS: the deletions the run would carry to
  // refused_side (1 local, 2 remote), the files the catalog records and
  // the limit in percent that applied.
  long long refused_deletions;
  long long recorded_files;
  int max_delete_percent;
  int refused_side;
  // KELTOS3_SYNC_OTHER_REMOTE_ROOT: the remote root the catalog belongs
  // to and the one given ("endpoint bucket\path"), cut to fit.
  wchar_t catalog_remote_root[260];
  wchar_t run_remote_root[260];
} KeltoS3SyncReport;

// One action, as KeltoS3SyncParams::on_action sees it (valid during the
// call only).  key, name, source, target, time, outcome and result are
// those of KeltoS3SyncCallback.
typedef struct KeltoS3SyncActionInfo {
  unsigned int size;
  const wchar_t* action_key;
  const wchar_t* name;
  // For a conflict copy (an action that keeps the losing content of a
  // conflict under a name of its own): the path whose content is copied.
  // Otherwise the same as name.
  const wchar_t* source_name;
  int source;
  int target;
  const wchar_t* time;
  int outcome;
  int result;
  // For an operation that failed: the side whose part failed (0 catalog,
  // 1 local tree, 2 remote tree) and what it noted about the cause (may be
  // empty); -1 and "" otherwise.
  int failed_side;
  const wchar_t* failure;
  // Bytes the action moved (a transfer that succeeded), else 0.
  unsigned long long bytes;
} KeltoS3SyncActionInfo;

// Progress of a run, for a host that shows it: called when an action starts
// and while its bytes pass (about every 256 KiB).
typedef struct KeltoS3SyncProgress {
  unsigned int size;
  const wchar_t* action_key;  // the action under way
  const wchar_t* name;
  int source;
  int target;
  int transfers_total;  // actions of this run that change a live side
  int transfers_done;   // of them, finished before this one
  unsigned long long bytes;  // bytes moved by this run so far
} KeltoS3SyncProgress;

typedef void(KELTOS3_CDECL* KeltoS3SyncActionCallback)(
    void* context, const KeltoS3SyncActionInfo* action);
// Once per entry left out, before any action (reasons above).
typedef void(KELTOS3_CDECL* KeltoS3SyncLeftOutCallback)(void* context,
                                                         int reason,
                                                         const wchar_t* name);
// Once per conflict, before any action runs: the path, its kind
// (KELTOS3_CONFLICT_*), the side whose version keeps the path (1 local,
// 2 remote) and the name under which the other content is kept on both
// sides ("" when it is not kept).
typedef void(KELTOS3_CDECL* KeltoS3SyncConflictCallback)(
    void* context, int kind, const wchar_t* name, int winner,
    const wchar_t* copy_name);
typedef void(KELTOS3_CDECL* KeltoS3SyncProgressCallback)(
    void* context, const KeltoS3SyncProgress* progress);

#define KELTOS3_CONFLICT_BOTH_CHANGED 0
#define KELTOS3_CONFLICT_DELETED_AND_CHANGED 1
#define KELTOS3_CONFLICT_FILE_AND_DIRECTORY 2

typedef struct KeltoS3SyncParams {
  unsigned int size;  // set by the caller
  int flags;          // KELTOS3_SYNC_DRY_RUN, KELTOS3_SYNC_ALLOW_EMPTY
  // The share of the recorded files one run may delete on one side, in
  // percent; -1 takes "SyncMaxDelete" from the settings.
  int max_delete_percent;
  void* context;  // handed to every callback
  KeltoS3SyncActionCallback on_action;       // may be null
  KeltoS3SyncLeftOutCallback on_left_out;    // may be null
  KeltoS3SyncConflictCallback on_conflict;   // may be null
  KeltoS3SyncProgressCallback on_progress;   // may be null
  // When not null: the run ends before the next path once *stop is not 0
  // (set it from a signal handler or another thread).  The path in
  // progress is finished and recorded; the report says stopped.
  volatile int* stop;
  KeltoS3SyncReport* report;  // may be null
} KeltoS3SyncParams;

KELTOS3_API int KELTOS3_CDECL KeltoS3SynchronizeEx(
    const wchar_t* local_root, const wchar_t* catalog_root,
    const wchar_t* s3_root, KeltoS3SyncParams* params);
// Additions for hosts that check what is stored.  Both work on the buckets
// of the settings ("QuexBucket" for index objects, "QuexDataBucket" for
// chunks) when `bucket` is null or empty, and otherwise on that one bucket
// for both, as a synchronised tree stores them.
//
// KeltoS3Verify reads stored versions in full, as a restore would: each
// index object whole (its bytes against its ETag), then every chunk, checked
// by its length and its CRC-32C or, for a chunk recorded without one, the
// MD5 its ETag names.  `names` holds `count` stored names (as for
// DeleteS3File); with `count` 0 every index object of the bucket is read.
// The callback receives each version as it is done: its stored name, the
// outcome, what is wrong (the chunk and why; empty when intact), and the
// version's number and the number of versions to check (from 1).  Returns
// KELTOS3_VERIFY_OK when every version read back intact, KELTOS3_VERIFY_BAD
// when one did not, KELTOS3_VERIFY_FAILED when the versions could not be
// listed (nothing was checked) or for an internal failure.
typedef void(KELTOS3_CDECL* KeltoS3VerifyCallback)(
    void* context, const wchar_t* name, int outcome, const wchar_t* detail,
    int number, int total);

#define KELTOS3_VERIFY_INTACT 0      // outcomes
#define KELTOS3_VERIFY_DAMAGED 1     // the index object or a chunk is damaged or missing
#define KELTOS3_VERIFY_UNREADABLE 2  // a request failed (server or network)
#define KELTOS3_VERIFY_MISSING 3     // no version of that name is stored

#define KELTOS3_VERIFY_OK 0          // results
#define KELTOS3_VERIFY_BAD 1
#define KELTOS3_VERIFY_FAILED 2

KELTOS3_API int KELTOS3_CDECL KeltoS3Verify(const wchar_t* const* names, int count,
                                            const wchar_t* bucket,
                                            KeltoS3VerifyCallback callback,
                                            void* context);

// KeltoS3Prune finds chunk objects of the data bucket that no index object
// names (left by an interrupted store, a crash, a removal that could not
// delete them, or the shared keys of earlier builds) and deletes them, or
// with KELTOS3_PRUNE_DRY_RUN only reports them.  It reads every index
// object of both buckets whole first; when one cannot be read, nothing is
// deleted and the callback names it (outcome KELTOS3_PRUNE_UNREADABLE).
// Chunks of a version whose newest chunk was stored less than
// `min_age_seconds` ago (a negative value: 24 hours) are reported as
// KELTOS3_PRUNE_RECENT and kept: their store may still be running.  Index
// objects in other buckets are not seen: prune only a data bucket whose
// index objects all live in the buckets named here.  The callback receives
// each object's key, its size and the outcome.  Returns KELTOS3_PRUNE_OK
// (done, also when there was nothing to do), KELTOS3_PRUNE_FAILED (a
// listing failed: nothing deleted; or an internal failure),
// KELTOS3_PRUNE_REFUSED (an index object could not be read: nothing
// deleted), KELTOS3_PRUNE_PARTIAL (some deletions failed).
typedef void(KELTOS3_CDECL* KeltoS3PruneCallback)(void* context, const wchar_t* key,
                                                  unsigned long long size, int outcome);

#define KELTOS3_PRUNE_DRY_RUN 1      // flags

#define KELTOS3_PRUNE_REMOVED 0      // outcomes
#define KELTOS3_PRUNE_PLANNED 1      // dry run: would be removed
#define KELTOS3_PRUNE_NOT_REMOVED 2  // its deletion failed
#define KELTOS3_PRUNE_RECENT 3       // unnamed, but younger than min_age_seconds
#define KELTOS3_PRUNE_UNREADABLE 4   // an index object that could not be read whole

#define KELTOS3_PRUNE_OK 0           // results
#define KELTOS3_PRUNE_FAILED 1
#define KELTOS3_PRUNE_REFUSED 2
#define KELTOS3_PRUNE_PARTIAL 3

KELTOS3_API int KELTOS3_CDECL KeltoS3Prune(const wchar_t* bucket, long long min_age_seconds,
                                           int flags, KeltoS3PruneCallback callback,
                                           void* context);

}  // extern "C"

#endif  // KELTOS3_INCLUDE_KELTOS3_H_
