#include "layout/info_index.h"

#include <cstring>
#include <limits>
#include <memory>


CS3InfoIndex::CS3InfoIndex(const std::u16string& bucket,
                           const std::u16string& data_bucket,
                           const std::u16string& stamp)
    : m_strBucket(bucket), m_strDataBucket(data_bucket), m_strStamp(stamp) {
  Reset();
}

CS3InfoIndex::~CS3InfoIndex() = default;

uint32_t CS3InfoIndex::MaxObjectBytes(const std::u16string& index_key) {
  const int64_t record = IndexRecordSize(index_key.size() + 1);
  constexpr int64_t kMost = std::numeric_limits<int32_t>::max();
  if (record < 0 || record > kMost / kMaxRecords) return static_cast<uint32_t>(kMost);
  return static_cast<uint32_t>(record * kMaxRecords);
}

void CS3InfoIndex::Reset() {
  // Nothing reads past the bytes used or the records counted, so the
  // buffers of the last version are reused as they are, unless it grew.
  if (m_pBuffer == nullptr || m_iCapacity != kBufferStep) {
    m_pBuffer = std::make_unique_for_overwrite<uint8_t[]>(kBufferStep);
  }
  if (m_pRecords == nullptr) {
    m_pRecords = std::make_unique_for_overwrite<int32_t[]>(kMaxRecords);
  }
  m_iCapacity = kBufferStep;
  m_iCount = 0;
  m_iUsed = 0;
  m_iCursor = 0;
  m_iLoaded = 0;
  m_bWhole = false;
}

bool CS3InfoIndex::Reserve(int64_t needed) {
  constexpr int64_t kLimit = std::numeric_limits<int32_t>::max();
  if (needed > kLimit) return false;
  if (needed <= m_iCapacity) return true;
  int64_t capacity = (needed + kBufferStep - 1) / kBufferStep * kBufferStep;
  if (capacity > kLimit) capacity = needed;
  auto grown = std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(capacity));
  if (m_iUsed > 0) std::memcpy(grown.get(), m_pBuffer.get(), static_cast<size_t>(m_iUsed));
  m_pBuffer = std::move(grown);
  m_iCapacity = static_cast<int32_t>(capacity);
  return true;
}

bool CS3InfoIndex::Append(uint64_t start, uint64_t end, const std::u16string& key,
                          uint32_t checksum) {
  const int64_t length = IndexRecordSize(key.size());
  if (length < 0 || !Reserve(static_cast<int64_t>(m_iUsed) + length)) return false;
  EncodeIndexRecord(start, end, key, m_pBuffer.get() + m_iUsed, checksum);
  m_iUsed += static_cast<int32_t>(length);
  m_iCursor += static_cast<int32_t>(length);
  return true;
}

void CS3InfoIndex::LoadFromBytes(const uint8_t* data, int32_t length) {
  m_iUsed = 0;
  m_iCursor = 0;
  m_iCount = 0;
  m_bWhole = false;
  if (data != nullptr && length > 0) {
    // Grow to a whole number of steps above the object's size.
    int64_t wanted = length;
    if (wanted > m_iCapacity) {
      wanted = (static_cast<int64_t>(length) / kBufferStep + 1) * kBufferStep;
      if (wanted > std::numeric_limits<int32_t>::max()) wanted = length;
    }
    if (Reserve(wanted)) {
      std::memcpy(m_pBuffer.get(), data, static_cast<size_t>(length));
      const IndexParseResult parsed =
          ParseIndexRecords(m_pBuffer.get(), length, m_pRecords.get(), kMaxRecords);
      // A part of an index object is no index: the records it lacks would
      // make a shorter file pass for the whole version.
      if (parsed.complete) {
        m_iCount = parsed.count;
        // Only checked records count as used: everything that walks the
        // buffer stops at their end.
        m_iUsed = parsed.valid_bytes;
        m_bWhole = true;
      }
    }
  }
  m_iLoaded = 1;
}

bool CS3InfoIndex::Record(int32_t i, IndexRecord* out) const {
  if (i < 0 || i >= m_iCount) return false;
  return DecodeIndexRecord(m_pBuffer.get(), m_iUsed, m_pRecords[i], out) ==
         IndexRecordStatus::kRecord;
}

bool CS3InfoIndex::CurrentRecord(IndexRecord* out) const {
  return DecodeIndexRecord(m_pBuffer.get(), m_iUsed, m_iCursor, out) ==
         IndexRecordStatus::kRecord;
}

bool CS3InfoIndex::Advance() {
  IndexRecord record;
  if (!CurrentRecord(&record)) return true;
  m_iCursor += record.record_length;
  return m_iCursor >= m_iUsed;
}

bool CS3InfoIndex::SetCursor(int32_t i) {
  if (i < 0 || i >= m_iCount) return false;
  m_iCursor = m_pRecords[i];
  return true;
}
