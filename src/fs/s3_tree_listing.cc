#include "fs/s3_tree_listing.h"

#include <string_view>

#include "common/layout_policy.h"
#include "fs/tree_names.h"
#include "s3/xml_text.h"
#include "support/time_text.h"

namespace {

constexpr std::u16string_view kKeyOpen = u"<Key>";
constexpr std::u16string_view kKeyClose = u"</Key>";
constexpr std::u16string_view kTimeOpen = u"<LastModified>";
constexpr std::u16string_view kTimeClose = u"</LastModified>";
constexpr std::u16string_view kTruncated = u"<IsTruncated>true</IsTruncated>";
constexpr std::u16string_view kFolderPrefix = u"$folder$";
constexpr std::u16string_view kFilePrefix = u"$file$/";
constexpr std::u16string_view kInfoSuffix = u"_Info";

bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

// The tree key of a path in key form ("/docs/a.txt"), or false when it
// holds a backslash or is not a safe tree key.
bool TreeKeyOfKeyForm(std::u16string_view key_form, std::u16string* tree_key) {
  std::u16string key(key_form);
  for (char16_t& c : key) {
    if (c == u'\\') return false;
    if (c == u'/') c = u'\\';
  }
  if (key.empty() || key[0] != u'\\' || !IsSafeTreeName(key)) return false;
  *tree_key = std::move(key);
  return true;
}

}  // namespace

ListingPage ReadListingPage(const std::u16string& text) {
  const std::u16string_view page(text);
  ListingPage result;
  result.truncated = page.find(kTruncated) != std::u16string_view::npos;

  size_t at = 0;
  for (;;) {
    const size_t key_open = page.find(kKeyOpen, at);
    if (key_open == std::u16string_view::npos) break;
    const size_t key_begin = key_open + kKeyOpen.size();
    const size_t key_close = page.find(kKeyClose, key_begin);
    if (key_close == std::u16string_view::npos) {
      result.damaged = true;
      break;
    }
    at = key_close + kKeyClose.size();
    // The time belongs to this key only when it comes before the next key.
    const size_t time_open = page.find(kTimeOpen, at);
    const size_t next_key = page.find(kKeyOpen, at);
    if (time_open == std::u16string_view::npos || time_open > next_key) {
      result.damaged = true;
      break;
    }
    const size_t time_begin = time_open + kTimeOpen.size();
    const size_t time_close = page.find(kTimeClose, time_begin);
    if (time_close == std::u16string_view::npos) {
      result.damaged = true;
      break;
    }
    at = time_close + kTimeClose.size();
    ListedEntry entry;
    entry.key = DecodeXmlText(page.substr(key_begin, key_close - key_begin));
    entry.last_modified =
        std::u16string(page.substr(time_begin, time_close - time_begin));
    // The ETag, when the entry has one before the next key.
    const size_t tag_open = page.find(u"<ETag>", at);
    const size_t tag_close = page.find(u"</ETag>", at);
    if (tag_open < next_key && tag_close < next_key && tag_open + 6 <= tag_close) {
      entry.etag = DecodeXmlText(page.substr(tag_open + 6, tag_close - tag_open - 6));
    }
    result.objects.push_back(std::move(entry));
  }
  if (result.truncated && result.objects.empty()) result.damaged = true;
  return result;
}

bool IsVersionStamp(const std::u16string& text) {
  if (text.size() != kStampLength) return false;
  static constexpr char16_t kShape[] = u"0000-00-00T00:00:00.000Z";
  for (size_t i = 0; i < kStampLength; ++i) {
    if (kShape[i] == u'0' ? !IsDigit(text[i]) : text[i] != kShape[i]) {
      return false;
    }
  }
  // No valid text converts to this value: it is beyond the year 30827.
  constexpr platform::FileTime kUnset = ~platform::FileTime{0};
  platform::FileTime time = kUnset;
  ParseTimeText(text, &time);
  return time != kUnset;
}

bool FolderMarkerTreeKey(const std::u16string& key, std::u16string* tree_key) {
  const std::u16string_view text(key);
  if (text.substr(0, kFolderPrefix.size()) != kFolderPrefix) return false;
  std::u16string key_form = u"/";
  key_form.append(text.substr(kFolderPrefix.size()));
  return TreeKeyOfKeyForm(key_form, tree_key);
}

bool IndexObjectTreeEntry(const std::u16string& key, std::u16string* tree_key,
                          std::u16string* stamp) {
  const std::u16string_view text(key);
  if (text.size() < kFilePrefix.size() + kStampedIndexSuffixLength) return false;
  if (text.substr(text.size() - kInfoSuffix.size()) != kInfoSuffix) {
    return false;
  }
  if (text.substr(0, kFilePrefix.size()) != kFilePrefix) return false;
  const size_t path_end = text.size() - kStampedIndexSuffixLength;
  if (text[path_end] != u'_') return false;
  std::u16string listed_stamp(text.substr(path_end + 1, kStampLength));
  if (!IsVersionStamp(listed_stamp)) return false;
  // "$file$" is dropped once, from the front: a name that itself holds
  // "$file$" keeps it.
  const size_t path_begin = kFilePrefix.size() - 1;  // keeps the "/"
  std::u16string key_tree;
  if (!TreeKeyOfKeyForm(text.substr(path_begin, path_end - path_begin),
                        &key_tree)) {
    return false;
  }
  *tree_key = std::move(key_tree);
  *stamp = std::move(listed_stamp);
  return true;
}

bool IndexObjectTreeKey(const std::u16string& key, std::u16string* tree_key) {
  const std::u16string_view text(key);
  if (text.size() < kFilePrefix.size() + kInfoSuffix.size()) return false;
  if (text.substr(text.size() - kInfoSuffix.size()) != kInfoSuffix) {
    return false;
  }
  if (text.substr(0, kFilePrefix.size()) != kFilePrefix) return false;
  const size_t path_begin = kFilePrefix.size() - 1;  // keeps the "/"
  const size_t path_end = text.size() - kInfoSuffix.size();
  return TreeKeyOfKeyForm(text.substr(path_begin, path_end - path_begin),
                          tree_key);
}

bool IsHostVersionKey(const std::u16string& key) {
  // "_" + "Tue, 27 Mar 2007 19:36:42 GMT" + "_Info": a for a letter, 0 for
  // a digit, everything else literally.
  static constexpr std::u16string_view kShape = u"_aaa, 00 aaa 0000 00:00:00 GMT_Info";
  const std::u16string_view text(key);
  if (text.size() < kShape.size()) return false;
  const std::u16string_view tail = text.substr(text.size() - kShape.size());
  for (size_t i = 0; i < kShape.size(); ++i) {
    const char16_t c = tail[i];
    const bool letter = (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
    const bool fits = kShape[i] == u'a'   ? letter
                      : kShape[i] == u'0' ? IsDigit(c)
                                          : c == kShape[i];
    if (!fits) return false;
  }
  return true;
}

IndexKeyKind ClassifyIndexKey(const std::u16string& key, std::u16string* tree_key,
                              std::u16string* stamp) {
  if (IsHostVersionKey(key)) return IndexKeyKind::kHostVersion;
  std::u16string stamped_key;
  std::u16string listed_stamp;
  const bool stamped = IndexObjectTreeEntry(key, &stamped_key, &listed_stamp);
  if (CurrentLayout().VersionedKeys()) {
    if (stamped) {
      *tree_key = std::move(stamped_key);
      *stamp = std::move(listed_stamp);
      return IndexKeyKind::kThisBuild;
    }
    return IndexObjectTreeKey(key, tree_key) ? IndexKeyKind::kOtherBuild
                                             : IndexKeyKind::kNone;
  }
  if (stamped) {
    *tree_key = std::move(stamped_key);
    return IndexKeyKind::kOtherBuild;
  }
  return IndexObjectTreeKey(key, tree_key) ? IndexKeyKind::kThisBuild
                                           : IndexKeyKind::kNone;
}

std::u16string ListedFileTime(const std::u16string& last_modified) {
  constexpr platform::FileTime kUnset = ~platform::FileTime{0};
  platform::FileTime time = kUnset;
  ParseTimeText(last_modified, &time);
  if (time == kUnset) return last_modified;
  const std::u16string text = FormatTimeText(time);
  return text.empty() ? last_modified : text;
}

std::u16string ListedExactTime(const std::u16string& last_modified) {
  constexpr platform::FileTime kUnset = ~platform::FileTime{0};
  platform::FileTime time = kUnset;
  ParseTimeText(last_modified, &time);
  if (time == kUnset) return last_modified;
  const std::u16string text = FormatTimeTextWithMilliseconds(time);
  return text.empty() ? last_modified : text;
}
