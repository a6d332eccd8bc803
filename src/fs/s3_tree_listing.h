// Reading the remote tree out of bucket listings: one listing page's
// objects, and the tree entries that folder-marker and index-object keys
// stand for (layout/object_keys.h gives the key forms).
//
//   folder marker   "$folder$docs/sub"                    -> \docs\sub
//   index object    "$file$/docs/a.txt_" stamp "_Info"    -> \docs\a.txt, stamp
//   (snapshot-assisted build: "$file$/docs/a.txt_Info"   -> \docs\a.txt,
//    with the object's LastModified as time)
//
// Both builds of the library store their index objects under "$file$" in
// the same bucket layout, but in different forms; the host's own file
// objects (standard build) stamp theirs with an HTTP date.  ClassifyIndexKey
// tells them apart, so that a tree stored by the other build is recognised
// (and not read as a tree whose files were all deleted), and the host's own
// versions are never taken for files of the tree.
//
// Listings come from the network, so every reader here is total and
// refuses what cannot name a tree entry: a key whose path would have an
// empty, "." or ".." component, a NUL, or a backslash (the key form has
// none, so such a key cannot be addressed again), and an index key whose
// last 30 characters are not "_", a 24-character time text and "_Info".
// A bucket can therefore never make the library write outside the local
// root or the catalog root.

#ifndef KELTOS3_SRC_FS_S3_TREE_LISTING_H_
#define KELTOS3_SRC_FS_S3_TREE_LISTING_H_

#include <string>
#include <vector>

// One object of a listing page, its key XML-decoded.
struct ListedEntry {
  std::u16string key;
  std::u16string last_modified;  // as the page gives it
  std::u16string etag;           // XML-decoded; empty when the entry has none
};

// What one page of a bucket listing holds.
struct ListingPage {
  std::vector<ListedEntry> objects;  // in page order
  bool truncated = false;             // "<IsTruncated>true</IsTruncated>"
  // The page cannot be trusted to list everything it should: a "<Key>"
  // without its "</Key>", a key without its "<LastModified>" element before
  // the next key, a "<LastModified>" without its end, or a truncated page
  // that lists no key (its marker could not move on).  The objects read
  // before the damage are kept.
  bool damaged = false;
};

// Reads the "<Key>" ... "</Key>" and "<LastModified>" ... "</LastModified>"
// pairs of `text`, from the front, in time linear in its length.
ListingPage ReadListingPage(const std::u16string& text);

// Length of the stamp in an index key: a time text such as
// "2008-09-20T06:33:34.000Z".
constexpr size_t kStampLength = 24;
// "_" + stamp + "_Info".
constexpr size_t kStampedIndexSuffixLength = 1 + kStampLength + 5;

// True when `text` has the shape of a time text ("%04d-%02d-%02dT%02d:%02d:
// %02d.%03dZ", 24 characters) and names a possible date and time.
bool IsVersionStamp(const std::u16string& text);

// The tree key of the folder marker `key`: the text after its leading
// "$folder$" with "\" before it and for every "/".  False (and *tree_key
// unchanged) when the key does not begin with "$folder$" or the result is
// not a safe tree key.
bool FolderMarkerTreeKey(const std::u16string& key, std::u16string* tree_key);

// The tree key and stamp of the index object `key` of a stored version:
// the key without its last 30 characters and without its leading "$file$",
// "\" for every "/", and the 24 characters of the stamp.  False (outputs
// unchanged) when the key does not end with "_Info", is too short, has no
// "_" + time text before "_Info", does not begin with "$file$/", or gives a
// tree key that is not safe.
bool IndexObjectTreeEntry(const std::u16string& key, std::u16string* tree_key,
                          std::u16string* stamp);

// The tree key of the index object `key` of a path's one version (the
// snapshot-assisted build's form): the key without its leading "$file$" and
// its last five characters ("_Info"), "\" for every "/".  False (output
// unchanged) when the key does not begin with "$file$/", does not end with
// "_Info", or gives a tree key that is not safe.
bool IndexObjectTreeKey(const std::u16string& key, std::u16string* tree_key);

// True when `key` ends with "_" + an HTTP date ("Tue, 27 Mar 2007 19:36:42
// GMT") + "_Info": a version the host stored through its own file object.
bool IsHostVersionKey(const std::u16string& key);

// What a listed key below "$file$" is to the current layout
// (common/layout_policy.h).
enum class IndexKeyKind {
  kNone,         // not an index object of a safe path: not part of the tree
  kThisBuild,    // a version in this layout's form: *tree_key (and, in
                 // the standard layout, *stamp) are set
  kHostVersion,  // a version the host stored itself: not part of the tree
  kOtherBuild,   // an index object in the other layout's form: *tree_key is
                 // set
};

// Classifies the listed key `key`.  The standard layout's form ends with
// "_" + a time text + "_Info" (IndexObjectTreeEntry); the snapshot-assisted
// layout's form is any other "$file$/..._Info" key of a safe path
// (IndexObjectTreeKey).  A key with an HTTP-date stamp is a host version in
// both layouts.  The outputs are left alone for kNone and kHostVersion.
IndexKeyKind ClassifyIndexKey(const std::u16string& key, std::u16string* tree_key,
                              std::u16string* stamp);

// The time a listed index object gives its path: its "<LastModified>" text
// to the second, milliseconds written as 000 (the precision of the times on
// disk, so that a catalog record written just after an upload is not older
// than the upload's listed time).  A text that does not form a date and time
// is kept as it is.
std::u16string ListedFileTime(const std::u16string& last_modified);

// The same with the text's milliseconds kept, where the server gives them:
// what tells two stores within one second apart.
std::u16string ListedExactTime(const std::u16string& last_modified);

#endif  // KELTOS3_SRC_FS_S3_TREE_LISTING_H_
