// Listing pages as the network delivers them: the items, sizes and paging
// marker read out of any text, the XML decoding of keys, and the tree keys
// that folder markers and index objects give, which must never name a path
// outside the tree.

#include <cstdint>
#include <string>

#include "common/wide_string.h"
#include "fs/s3_tree_listing.h"
#include "fuzz/fuzz_support.h"
#include "s3/s3_list_result.h"
#include "s3/xml_text.h"

namespace {

// A tree key the file systems can use: "\" followed by components that are
// neither empty, "." nor "..", without NUL or "/".
bool IsSafeTreeKey(const std::u16string& key) {
  if (key.size() < 2 || key[0] != u'\\') return false;
  size_t begin = 1;
  while (begin <= key.size()) {
    size_t end = key.find(u'\\', begin);
    if (end == std::u16string::npos) end = key.size();
    const std::u16string part = key.substr(begin, end - begin);
    if (part.empty() || part == u"." || part == u"..") return false;
    if (part.find(u'\0') != std::u16string::npos || part.find(u'/') != std::u16string::npos) {
      return false;
    }
    begin = end + 1;
  }
  return true;
}

void CheckPage(S3ListResult page) {
  page.HoldsListingDocument();
  page.ParseList();
  if (page.m_iTruncated != 0) {
    FUZZ_CHECK(!page.m_items.empty());
    FUZZ_CHECK(page.m_strNextMarker == page.m_items.back());
  } else {
    FUZZ_CHECK(page.m_strNextMarker.empty());
  }
  const std::uint64_t size = page.SumSizes();
  FUZZ_CHECK(size == page.m_iSize);
  if (page.m_strBucket.empty()) FUZZ_CHECK(size == 0);

  page.ParseFolderList();
  for (const std::u16string& item : page.m_items) {
    FUZZ_CHECK(item.find(u'/') == std::u16string::npos);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  const std::u16string text =
      Utf8ToU16(std::string_view(reinterpret_cast<const char*>(data), size));

  S3ListResult page;
  page.m_strText = text;
  page.m_strBucket = u"bucket";
  CheckPage(page);
  page.m_strBucket.clear();  // a service listing
  CheckPage(page);

  const std::u16string decoded = DecodeXmlText(text);
  FUZZ_CHECK(decoded.size() <= text.size());

  const ListingPage listing = ReadListingPage(text);
  for (const ListedEntry& entry : listing.objects) {
    std::u16string tree_key;
    if (FolderMarkerTreeKey(entry.key, &tree_key)) FUZZ_CHECK(IsSafeTreeKey(tree_key));
    std::u16string file_key;
    std::u16string stamp = u"unchanged";
    if (IndexObjectTreeEntry(entry.key, &file_key, &stamp)) {
      FUZZ_CHECK(IsSafeTreeKey(file_key));
      FUZZ_CHECK(IsVersionStamp(stamp));
    } else {
      FUZZ_CHECK(stamp == u"unchanged");
    }
  }
  if (listing.truncated && !listing.damaged) FUZZ_CHECK(!listing.objects.empty());
  return 0;
}
