// The fixed table from file-name extension to the content type an object is
// stored with (157 extensions, 102 content types).  Not configurable.

#ifndef KELTOS3_SRC_S3_CONTENT_TYPES_H_
#define KELTOS3_SRC_S3_CONTENT_TYPES_H_

#include <string>

#include "common/sorted_map.h"

// The content type of `extension`: the part of a file name from its last "."
// to the end, dot included (".jpg").  The lookup is exact and case-sensitive;
// an unknown, empty or differently cased extension gives
// "application/octet-stream".
std::u16string ContentTypeFor(const std::u16string& extension);

// The whole table, built once on first use and never changed afterwards
// (safe to read from any thread).
const CSortedMap<std::u16string>& ContentTypeTable();

#endif  // KELTOS3_SRC_S3_CONTENT_TYPES_H_
