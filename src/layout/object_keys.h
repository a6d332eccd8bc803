// The key scheme that lays a directory tree onto two flat buckets.  Every
// object key the library forms is built here, so that the key forms can be
// changed in one place.
//
//   folder marker        "$folder$" + directory path without its leading "\",
//                        "/" separators, no trailing "/"   (backup bucket)
//   file key             "$file$" + key form of the path   (not an object)
//   index object         file key of the stored name + "_Info", written
//                        under the versioned key file key + "_" + stamp +
//                        "_Info"                            (backup bucket)
//   chunk N of a version "$chunk$" + the file key without its leading
//                        "$file$", "_", the version's chunk token, "_%05d"
//                        of N                                (data bucket)
//   chunk N, earlier     "$data$" + the file key without its leading
//   builds               "$file$", "_%05d" of N: every version of a path
//                        named the same keys; such chunks are still read
//                        (readers take every chunk key from the index
//                        records) and removed, but never written
//
// A chunk token ("20261208T011523Z-9f3a6b2c1d0e4f58": the UTC second the
// version's first chunk was stored, "-", 16 random hexadecimal digits) is
// drawn afresh for every version written, so no two versions share a chunk.
// No key of one form can equal a key of the other ("$chunk$" versus
// "$data$"), and within the new form the fixed-length token before the
// number makes the key name its path and version unambiguously: no other
// path, and no other version of the path, can produce it.
//
// The key form of a local path ("\docs\a.txt") replaces every "\" by "/"
// ("/docs/a.txt").  A stored name is a path followed by "_" and the version
// stamp; it is what Open and DeleteS3File take to address one version.
//
// The snapshot-assisted layout (common/layout_policy.h) keeps one version
// per path: the index object is stored under the file key + "_Info" itself,
// and the stored name is the plain path.  It uses no versioned keys.
//
// All functions are total: any text gives a defined key.

#ifndef KELTOS3_SRC_LAYOUT_OBJECT_KEYS_H_
#define KELTOS3_SRC_LAYOUT_OBJECT_KEYS_H_

#include <cstdint>
#include <string>

// Every index object key begins with kFilePrefix and ends with kIndexSuffix.
constexpr char16_t kFilePrefix[] = u"$file$";
constexpr size_t kFilePrefixLength = 6;
constexpr char16_t kIndexSuffix[] = u"_Info";
constexpr size_t kIndexSuffixLength = 5;

// Every "\" of `path` replaced by "/".
std::u16string KeyFormOf(const std::u16string& path);

// "$folder$" + the directory path without one leading "\", with "/"
// separators and without one trailing "/".  \docs\2009\ and docs\2009 both
// give $folder$docs/2009.  The rule itself lives with the request that
// stores markers (FolderMarkerKey of s3/request_kinds.h); this is the
// layout's name for it.
std::u16string FolderMarkerKeyOf(const std::u16string& directory);

// The directory part of a local path: the text before its last "\" (empty
// when there is none).  \docs\a.txt gives \docs, \a.txt gives the empty text.
std::u16string ParentDirectoryOf(const std::u16string& path);

// "$file$" + key form of `path`.
std::u16string FileKeyOf(const std::u16string& path);

// The index key a file key is looked up under: file key + "_Info".
std::u16string IndexKeyOf(const std::u16string& file_key);

// The key a finished version's index object is stored under: `index_key`
// without its last five characters ("_Info"), then "_" + stamp + "_Info".
std::u16string VersionedIndexKey(const std::u16string& index_key,
                                 const std::u16string& stamp);

// Characters of a chunk token.
constexpr size_t kChunkTokenLength = 33;

// A fresh chunk token for a version stored at `unix_seconds`: that second
// as "YYYYMMDDTHHMMSSZ", "-" and 16 lower-case hexadecimal digits drawn
// from the system's random source (mixed with a counter of this process,
// so that two tokens of one process never agree).
std::u16string NewChunkToken(int64_t unix_seconds);

// True when `text` has the shape of a chunk token.
bool IsChunkToken(const std::u16string& text);

// The key of chunk `number` of the version with chunk token `token` of the
// file with key `file_key`: "$chunk$" + the file key without its leading
// "$file$" (all of it when it has none) + "_" + token + "_%05d" of the
// number.
std::u16string ChunkKeyOf(const std::u16string& file_key,
                          const std::u16string& token, int32_t number);

// The key earlier builds gave chunk `number` of `file_key`: "$data$" + the
// file key without its leading "$file$" + "_%05d" of the number.  Only the
// leading prefix is replaced: the builds before this rule replaced every
// "$file$" of the key, so that \$file$x and \$data$x named the same
// chunks; such a key is still read from the records that name it, but is
// no longer taken for a chunk of either path (see IsChunkKeyOf).
std::u16string EarlierChunkKeyOf(const std::u16string& file_key, int32_t number);

// True when `key` is the key of a chunk of the file with key `file_key`, in
// either form: ChunkKeyOf(file_key, t, n) for a chunk token t, or
// EarlierChunkKeyOf(file_key, n), for some n in 0..99999.
bool IsChunkKeyOf(const std::u16string& key, const std::u16string& file_key);

// True when `key` has the shape of a chunk key of some path in either form:
// "$chunk$" ... "_" token "_" five digits, or "$data$" ... "_" five digits.
// *group, when given, receives the key without its "_" and number: the
// chunks of one stored version (new form) or of one path (earlier form)
// share it.
bool IsChunkKey(const std::u16string& key, std::u16string* group = nullptr);

// True when `key` has the shape of a chunk key in the new form (with a
// chunk token): the chunk of exactly one stored version, named by no other
// version's index object.
bool HasChunkToken(const std::u16string& key);

// The path a stored name belongs to: the name without its "_" + stamp when
// it ends with one that has the shape of a time text
// ("2008-09-20T06:33:34.000Z") or of an HTTP date ("Tue, 27 Mar 2007
// 19:36:42 GMT"); otherwise the name itself (an unstamped version).
std::u16string PathOfStoredName(const std::u16string& name);

// The stored name of a version: path + "_" + stamp.
std::u16string StoredNameOf(const std::u16string& path,
                            const std::u16string& stamp);

#endif  // KELTOS3_SRC_LAYOUT_OBJECT_KEYS_H_
