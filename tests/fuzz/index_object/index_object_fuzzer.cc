// Index objects as they come from the store: whatever the bytes, the index
// keeps only records it checked, and walking it never leaves them.

#include <cstdint>
#include <limits>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "layout/index_record.h"
#include "layout/info_index.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  const auto length = static_cast<std::int32_t>(
      std::min<size_t>(size, std::numeric_limits<std::int32_t>::max()));
  // One index for every input (a load replaces all it held), so that the
  // fuzzer does not spend its time allocating record buffers.
  static CS3InfoIndex& index = *new CS3InfoIndex(u"backup", u"data", u"2008-09-20T06:33:34.000Z");
  index.LoadFromBytes(data, length);
  FUZZ_CHECK(index.IsLoaded());
  FUZZ_CHECK(index.Count() >= 0 && index.Count() <= CS3InfoIndex::kMaxRecords);
  FUZZ_CHECK(index.Used() >= 0 && index.Used() <= length);

  // The records continue each other from offset 0.
  std::uint64_t next_start = 0;
  IndexRecord record;
  for (std::int32_t i = 0; i < index.Count(); ++i) {
    FUZZ_CHECK(index.Record(i, &record));
    FUZZ_CHECK(record.start == next_start);
    FUZZ_CHECK(!record.key.empty());
    FUZZ_CHECK(record.ChunkLength() <= static_cast<std::uint64_t>(
                                           std::numeric_limits<std::int32_t>::max()));
    next_start = record.end + 1;
  }
  FUZZ_CHECK(!index.Record(index.Count(), &record));
  FUZZ_CHECK(!index.Record(-1, &record));

  // The cursor visits the same records and stops at the end.
  std::int32_t visited = 0;
  while (index.CurrentRecord(&record)) {
    ++visited;
    FUZZ_CHECK(visited <= index.Count());
    if (index.Advance()) break;
  }
  FUZZ_CHECK(visited == index.Count());
  FUZZ_CHECK(!index.SetCursor(index.Count()));
  if (index.Count() > 0) FUZZ_CHECK(index.SetCursor(index.Count() - 1));

  // The table bound holds for any table size.
  const std::int32_t table = size > 0 ? data[0] % 8 : 0;
  std::vector<std::int32_t> positions(static_cast<size_t>(table));
  const IndexParseResult parsed = ParseIndexRecords(data, length, positions.data(), table);
  FUZZ_CHECK(parsed.count >= 0 && parsed.count <= table);
  FUZZ_CHECK(parsed.valid_bytes >= 0 && parsed.valid_bytes <= length);

  // Appending after a load keeps the buffer consistent.
  index.Append(next_start, next_start, u"$data$/x_00000");
  FUZZ_CHECK(index.Used() <= index.Capacity());
  return 0;
}
