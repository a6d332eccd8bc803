#include "s3/s3_list_result.h"

#include <cstddef>
#include <limits>

#include "s3/request_kinds.h"
#include "s3/xml_text.h"

namespace {

constexpr char16_t kTruncatedMark[] = u"<IsTruncated>true</IsTruncated>";

bool IsBlank(char16_t c) {
  return c == u' ' || c == u'\t' || c == u'\n' || c == u'\v' || c == u'\f' ||
         c == u'\r';
}

// _wtoi64-style reading of a size: blanks, an optional sign, digits up to
// the first non-digit.  Negative values give 0; values beyond 64 bits
// saturate.
uint64_t ParseSize(std::u16string_view text) {
  size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
    negative = text[i] == u'-';
    ++i;
  }
  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
  uint64_t value = 0;
  for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
    const uint64_t digit = static_cast<uint64_t>(text[i] - u'0');
    if (value > (kMax - digit) / 10) {
      value = kMax;
    } else {
      value = value * 10 + digit;
    }
  }
  return negative ? 0 : value;
}

}  // namespace

S3ListResult::S3ListResult() { m_iServiceList = 1; }

S3ListResult::S3ListResult(const S3Response& response) {
  m_strBucket = response.m_strBucket;
  m_strKey = response.m_strKey;
  m_strVerb = response.m_strVerb;
  m_strText = response.m_strText;
  m_iStatus = response.m_iStatus;
  m_iRetry = response.m_iRetry;
  m_iServiceList = m_strBucket.empty() ? 1 : 0;
}

bool S3ListResult::HoldsListingDocument() const {
  return IsListingDocument(m_strBucket, m_strText);
}

bool S3ListResult::IsListingDocument(const std::u16string& bucket,
                                     const std::u16string& text) {
  const std::u16string open =
      bucket.empty() ? u"<ListAllMyBucketsResult" : u"<ListBucketResult";
  const std::u16string close =
      bucket.empty() ? u"</ListAllMyBucketsResult>" : u"</ListBucketResult>";
  const size_t begin = text.find(open);
  if (begin == std::u16string::npos) return false;
  return text.find(close, begin + open.size()) != std::u16string::npos;
}

void S3ListResult::ParseList() {
  m_iServiceList = m_strBucket.empty() ? 1 : 0;
  if (m_iServiceList) {
    ParseItems(u"<Name>", u"</Name>", false);
  } else {
    m_iSize = 0;
    ParseItems(u"<Key>", u"</Key>", false);
  }
}

void S3ListResult::ParseFolderList() {
  ParseItems(u"<Key>", u"</Key>", true);
}

bool S3ListResult::IsTruncated() const {
  return m_strText.find(kTruncatedMark) != std::u16string::npos;
}

bool S3ListResult::LastListedKey(std::u16string* key) const {
  const std::u16string_view text(m_strText);
  const size_t open = text.rfind(u"<Key>");
  if (open == std::u16string_view::npos) return false;
  const size_t close = text.find(u"</Key>", open + 5);
  if (close == std::u16string_view::npos) return false;
  *key = DecodeXmlText(text.substr(open + 5, close - open - 5));
  return true;
}

void S3ListResult::ParseItems(const std::u16string& open,
                              const std::u16string& close, bool as_folders) {
  m_items.clear();
  m_strNextMarker.clear();
  m_iTruncated = IsTruncated() ? 1 : 0;

  std::u16string last;  // the last item before any folder conversion
  size_t pos = 0;
  while (true) {
    const size_t begin = m_strText.find(open, pos);
    if (begin == std::u16string::npos) break;
    const size_t start = begin + open.size();
    const size_t end = m_strText.find(close, start);
    if (end == std::u16string::npos) {
      m_iRetry = 1;  // cut short or malformed: the rest is not a list
      break;
    }
    last = DecodeXmlText(
        std::u16string_view(m_strText).substr(start, end - start));
    m_items.push_back(as_folders ? FolderKeyToPath(last) : last);
    pos = end + close.size();
  }

  if (!m_iTruncated) return;
  if (m_items.empty()) {
    m_iTruncated = 0;
    m_iRetry = 1;
    return;
  }
  m_strNextMarker = last;
}

uint64_t S3ListResult::SumSizes() {
  m_iSize = 0;
  if (m_strBucket.empty()) return 0;
  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
  const std::u16string open = u"<Size>";
  const std::u16string close = u"</Size>";
  size_t pos = 0;
  while (true) {
    const size_t begin = m_strText.find(open, pos);
    if (begin == std::u16string::npos) break;
    const size_t start = begin + open.size();
    const size_t end = m_strText.find(close, start);
    if (end == std::u16string::npos) {
      m_iRetry = 1;
      break;
    }
    const uint64_t size =
        ParseSize(std::u16string_view(m_strText).substr(start, end - start));
    m_iSize = size > kMax - m_iSize ? kMax : m_iSize + size;
    pos = end + close.size();
  }
  return m_iSize;
}

bool S3ListResult::ListedSize(const std::u16string& key, uint64_t* size) const {
  const std::u16string_view text(m_strText);
  constexpr std::u16string_view kOpen = u"<Contents>";
  constexpr std::u16string_view kClose = u"</Contents>";
  size_t pos = 0;
  while (true) {
    const size_t begin = text.find(kOpen, pos);
    if (begin == std::u16string_view::npos) return false;
    const size_t end = text.find(kClose, begin + kOpen.size());
    if (end == std::u16string_view::npos) return false;
    const std::u16string_view element =
        text.substr(begin + kOpen.size(), end - begin - kOpen.size());
    pos = end + kClose.size();
    const size_t key_begin = element.find(u"<Key>");
    const size_t key_end = element.find(u"</Key>");
    if (key_begin == std::u16string_view::npos ||
        key_end == std::u16string_view::npos || key_end < key_begin + 5 ||
        DecodeXmlText(element.substr(key_begin + 5, key_end - key_begin - 5)) != key) {
      continue;
    }
    const size_t size_begin = element.find(u"<Size>");
    const size_t size_end = element.find(u"</Size>");
    if (size_begin == std::u16string_view::npos ||
        size_end == std::u16string_view::npos || size_end < size_begin + 6) {
      return false;
    }
    *size = ParseSize(element.substr(size_begin + 6, size_end - size_begin - 6));
    return true;
  }
}

std::vector<S3ListedObject> S3ListResult::ListedObjects() const {
  std::vector<S3ListedObject> objects;
  const std::u16string_view text(m_strText);
  constexpr std::u16string_view kOpen = u"<Contents>";
  constexpr std::u16string_view kClose = u"</Contents>";
  // The text between `open` and `close` inside `element`, if both are there.
  const auto field = [](std::u16string_view element, std::u16string_view open,
                        std::u16string_view close, std::u16string_view* out) {
    const size_t begin = element.find(open);
    if (begin == std::u16string_view::npos) return false;
    const size_t end = element.find(close, begin + open.size());
    if (end == std::u16string_view::npos) return false;
    *out = element.substr(begin + open.size(), end - begin - open.size());
    return true;
  };
  size_t pos = 0;
  while (true) {
    const size_t begin = text.find(kOpen, pos);
    if (begin == std::u16string_view::npos) break;
    const size_t end = text.find(kClose, begin + kOpen.size());
    if (end == std::u16string_view::npos) break;
    const std::u16string_view element =
        text.substr(begin + kOpen.size(), end - begin - kOpen.size());
    pos = end + kClose.size();
    std::u16string_view value;
    if (!field(element, u"<Key>", u"</Key>", &value)) continue;
    S3ListedObject object;
    object.key = DecodeXmlText(value);
    if (field(element, u"<Size>", u"</Size>", &value)) object.size = ParseSize(value);
    if (field(element, u"<LastModified>", u"</LastModified>", &value)) {
      object.last_modified = std::u16string(value);
    }
    if (field(element, u"<ETag>", u"</ETag>", &value)) object.etag = DecodeXmlText(value);
    objects.push_back(std::move(object));
  }
  return objects;
}
