// SnapKeeper: the snapshot agent.  It stands outside KeltoS3: the
// snapshot-assisted library imports CSnapKeeper from libSnapKeeper.so
// (SnapKeeper.dll on Windows) by name and relies only on the call contract
// below.
//
// A backup asks the agent for a stable copy of files that another process
// holds open.  The agent's "snapshot" of a file is a copy in a private
// directory of its own.  On Linux that directory has mode 0700 and lies
// below $TMPDIR (else /tmp), and a copy is a reflink clone where the file
// system supports one, a plain copy otherwise; locks held on a file are
// advisory, so a file locked by another process is read all the same.  On
// Windows the directory lies below the user's directory for temporary files
// and the copy is read with every kind of sharing allowed: a file that
// another program holds open is copied as long as that program lets others
// read it (one held open without any sharing cannot be copied, and the
// request fails).  The Volume Shadow Copy service is not used.
//
// Paths are wide strings in the form the library uses: "\" separators
// (standing for "/" on Linux, e.g. L"\home\me\docs\a.txt"); wchar_t holds
// one code point on Linux and one UTF-16 code unit on Windows.
//
// Test hooks (environment variables, read at each call):
//   KELTOS3_SNAPKEEPER_FAIL=1    VssStartBackup2 fails (returns 1) without
//                                copying or writing anything.
//   KELTOS3_SNAPKEEPER_LOG=PATH  every call appends one line to PATH:
//                                "construct", "start <n>",
//                                "source <i> <path>", "output <i> <path>",
//                                "result <r>", "complete", "destroy"
//                                (paths as UTF-8 in the library's form).
//
// Thread safety: an agent object is used by one thread at a time.

#ifndef KELTOS3_SNAPKEEPER_INCLUDE_SNAPKEEPER_H_
#define KELTOS3_SNAPKEEPER_INCLUDE_SNAPKEEPER_H_

#if defined(_WIN32)
#if defined(SNAPKEEPER_BUILDING_LIBRARY)
#define SNAPKEEPER_API __declspec(dllexport)
#else
#define SNAPKEEPER_API __declspec(dllimport)
#endif
#else
#define SNAPKEEPER_API __attribute__((visibility("default")))
#endif

// Output buffers handed to VssStartBackup2 hold this many wide characters;
// a snapshot path is at most kSnapKeeperPathMax - 1 characters long.
constexpr int kSnapKeeperPathMax = 260;

class SNAPKEEPER_API CSnapKeeper {
 public:
  CSnapKeeper();
  CSnapKeeper(const CSnapKeeper&) = delete;
  CSnapKeeper& operator=(const CSnapKeeper&) = delete;
  // Removes copies that VssBackupComplete has not removed yet.
  virtual ~CSnapKeeper();

  // Takes a snapshot copy of each of the n files named by sources[0..n-1]
  // (NUL-terminated wide paths).  On success returns 0 and has written into
  // each outputs[i] (a buffer of kSnapKeeperPathMax wide characters) the
  // NUL-terminated path of the copy of sources[i].  Any failure (a bad
  // argument, a source that is missing or not a regular file, a failed copy,
  // a copy path too long for the buffer, a snapshot already in progress)
  // returns non-zero; the outputs then hold nothing to be used and no copy
  // is left behind.  n == 0 succeeds without doing anything.
  int VssStartBackup2(wchar_t** sources, wchar_t** outputs, int n);

  // Ends the snapshot: removes every copy and the private directory.  The
  // paths written by VssStartBackup2 are no longer valid afterwards.
  // Returns 0, or 1 when something could not be removed.
  int VssBackupComplete();

 private:
  struct State;
  State* m_pState;
};

#endif  // KELTOS3_SNAPKEEPER_INCLUDE_SNAPKEEPER_H_
