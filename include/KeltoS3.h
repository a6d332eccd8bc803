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
// wchar_t is UTF-16 (see README.md for linking from other compilers).
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
// read back by opening path + "_" + that stamp.  Write is refused until the
// object is opened, and after the last Write of a version the object must
// be opened again.
//
// The snapshot-assisted build of the library keeps one version per path and
// has no stamps: the stored name is the plain path (index object
// $file$\docs\a.txt_Info in GetDirList), storing a path again replaces its
// version, and DeleteS3File takes the plain path.
KELTOS3_API int KELTOS3_CDECL CreateS3FileObject(KS3File** out);
KELTOS3_API int KELTOS3_CDECL DestroyS3FileObject(KS3File** out);

// The total size in bytes of every object in the data bucket, summed over
// all listing pages.  A failed page ends the sum: what was gathered before
// it is returned (0 when the first page fails).
KELTOS3_API unsigned long long KELTOS3_CDECL GetUsedSpace(void);

// Deletes one stored version, `name` being its stored name in library form
// (path + "_" + stamp, e.g. \docs\a.txt_Tue, 27 Mar 2007 19:36:42 GMT; for
// a GetDirList entry of an index object, the entry without its leading
// "$file$" and trailing "_Info").  Deletes every chunk its index object
// lists, then the index object.  When no index object is listed, or it
// cannot be read, nothing is deleted.  Always returns 0; failed deletions
// are not reported.
KELTOS3_API int KELTOS3_CDECL DeleteS3File(const wchar_t* name);

// Every key of the backup bucket in listing order, each converted to local
// form ("$folder$" and every "/" become "\") and followed by ";": folder
// markers as \docs\2009, index objects as
// $file$\docs\a.txt_<stamp>_Info.  Creates the backup bucket when it is
// missing.  A failed page ends the list with what was gathered before it.
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

}  // extern "C"

#endif  // KELTOS3_INCLUDE_KELTOS3_H_
