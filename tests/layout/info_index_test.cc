#include "layout/info_index.h"

#include <gtest/gtest.h>

#include <vector>

#include "layout/object_keys.h"

namespace {

CS3InfoIndex* NewIndex() { return new CS3InfoIndex(u"backup", u"data", u"STAMP"); }

// The three records of a 2 500 000-byte file in 1 MiB chunks, appended as a
// writer does and read back as a reader does.
TEST(InfoIndexTest, AppendedRecordsLoadBackInOrder) {
  std::unique_ptr<CS3InfoIndex> writer(NewIndex());
  const std::u16string file = FileKeyOf(u"\\docs\\a.txt");
  const uint64_t c = 1048576;
  ASSERT_TRUE(writer->Append(0, c - 1, EarlierChunkKeyOf(file, 0)));
  ASSERT_TRUE(writer->Append(c, 2 * c - 1, EarlierChunkKeyOf(file, 1)));
  ASSERT_TRUE(writer->Append(2 * c, 2499999, EarlierChunkKeyOf(file, 2)));
  const int32_t record = 32 + 2 * 23;  // "$data$/docs/a.txt_00000"
  EXPECT_EQ(writer->Used(), 3 * record);
  EXPECT_EQ(writer->Cursor(), 3 * record);
  EXPECT_EQ(writer->Count(), 0);  // the table is Load's business

  std::unique_ptr<CS3InfoIndex> reader(NewIndex());
  reader->LoadFromBytes(writer->Data(), writer->Used());
  ASSERT_TRUE(reader->IsLoaded());
  ASSERT_EQ(reader->Count(), 3);
  EXPECT_EQ(reader->Cursor(), 0);

  IndexRecord r;
  ASSERT_TRUE(reader->Record(2, &r));
  EXPECT_EQ(r.start, 2 * c);
  EXPECT_EQ(r.end, 2499999u);
  EXPECT_EQ(r.key, u"$data$/docs/a.txt_00002");

  std::vector<std::u16string> walked;
  bool end = false;
  while (!end && reader->CurrentRecord(&r)) {
    walked.push_back(r.key);
    end = reader->Advance();
  }
  EXPECT_TRUE(end);
  ASSERT_EQ(walked.size(), 3u);
  EXPECT_EQ(walked[1], u"$data$/docs/a.txt_00001");

  ASSERT_TRUE(reader->SetCursor(1));
  ASSERT_TRUE(reader->CurrentRecord(&r));
  EXPECT_EQ(r.start, c);
  EXPECT_FALSE(reader->SetCursor(3));
  EXPECT_FALSE(reader->SetCursor(-1));
}

TEST(InfoIndexTest, BufferGrowsByWholeMebibytesKeepingContent) {
  std::unique_ptr<CS3InfoIndex> index(NewIndex());
  const std::u16string key(1000, u'k');  // 2032 bytes a record
  uint64_t start = 0;
  int n = 0;
  while (index->Used() + 2032 <= 1048576) {
    ASSERT_TRUE(index->Append(start, start + 9, key));
    start += 10;
    ++n;
  }
  EXPECT_EQ(index->Capacity(), 1048576);
  ASSERT_TRUE(index->Append(start, start + 9, key));
  ++n;
  EXPECT_EQ(index->Capacity(), 2 * 1048576);
  // A record larger than one step grows the buffer as far as it needs.
  const std::u16string huge(800000, u'h');
  ASSERT_TRUE(index->Append(start + 10, start + 19, huge));
  ++n;
  EXPECT_GE(index->Capacity(), index->Used());
  EXPECT_EQ(index->Capacity() % 1048576, 0);

  std::unique_ptr<CS3InfoIndex> copy_owner(NewIndex());
  CS3InfoIndex& copy = *copy_owner;
  copy.LoadFromBytes(index->Data(), index->Used());
  EXPECT_EQ(copy.Count(), n);
  EXPECT_EQ(copy.Capacity(), (index->Used() / 1048576 + 1) * 1048576);
  IndexRecord r;
  ASSERT_TRUE(copy.Record(n - 1, &r));
  EXPECT_EQ(r.key, huge);
}

TEST(InfoIndexTest, ResetEmptiesButKeepsNamesAndStamp) {
  std::unique_ptr<CS3InfoIndex> index(NewIndex());
  index->SetBucket(u"b2");
  index->SetStamp(u"S2");
  ASSERT_TRUE(index->Append(0, 9, u"k"));
  index->LoadFromBytes(index->Data(), index->Used());
  ASSERT_EQ(index->Count(), 1);
  index->Reset();
  EXPECT_EQ(index->Count(), 0);
  EXPECT_EQ(index->Used(), 0);
  EXPECT_EQ(index->Capacity(), 1048576);
  EXPECT_FALSE(index->IsLoaded());
  IndexRecord r;
  EXPECT_FALSE(index->CurrentRecord(&r));
  EXPECT_FALSE(index->Record(0, &r));
  EXPECT_TRUE(index->Advance());
  EXPECT_FALSE(index->SetCursor(0));
  EXPECT_EQ(index->Bucket(), u"b2");
  EXPECT_EQ(index->DataBucket(), u"data");
  EXPECT_EQ(index->Stamp(), u"S2");
}

TEST(InfoIndexTest, DamagedObjectKeepsNoRecord) {
  std::unique_ptr<CS3InfoIndex> writer(NewIndex());
  ASSERT_TRUE(writer->Append(0, 9, u"k0"));
  ASSERT_TRUE(writer->Append(10, 19, u"k1"));
  std::vector<uint8_t> bytes(writer->Data(), writer->Data() + writer->Used());
  bytes[36] = 200;  // second record's length now reaches past the end

  // The first record alone would read as a file of 10 bytes.
  std::unique_ptr<CS3InfoIndex> reader(NewIndex());
  reader->LoadFromBytes(bytes.data(), static_cast<int32_t>(bytes.size()));
  EXPECT_TRUE(reader->IsLoaded());
  EXPECT_FALSE(reader->IsWhole());
  EXPECT_EQ(reader->Count(), 0);
  EXPECT_EQ(reader->Used(), 0);
  IndexRecord r;
  EXPECT_FALSE(reader->CurrentRecord(&r));
  EXPECT_TRUE(reader->Advance());

  // A failed fetch gives an empty body: loaded, without records.
  reader->LoadFromBytes(nullptr, 0);
  EXPECT_TRUE(reader->IsLoaded());
  EXPECT_EQ(reader->Count(), 0);
}

TEST(InfoIndexTest, TableHoldsAtMost99999Records) {
  std::unique_ptr<CS3InfoIndex> writer(NewIndex());
  for (int i = 0; i < CS3InfoIndex::kMaxRecords; ++i) {
    ASSERT_TRUE(writer->Append(static_cast<uint64_t>(i), static_cast<uint64_t>(i), u"k"));
  }
  std::unique_ptr<CS3InfoIndex> reader(NewIndex());
  reader->LoadFromBytes(writer->Data(), writer->Used());
  EXPECT_EQ(reader->Count(), CS3InfoIndex::kMaxRecords);
  EXPECT_EQ(reader->Used(), CS3InfoIndex::kMaxRecords * 34);
  IndexRecord r;
  ASSERT_TRUE(reader->Record(CS3InfoIndex::kMaxRecords - 1, &r));
  EXPECT_EQ(r.start, 99998u);

  // No version has more chunks: an object that lists more is no index.
  ASSERT_TRUE(writer->Append(99999, 99999, u"k"));
  reader->LoadFromBytes(writer->Data(), writer->Used());
  EXPECT_FALSE(reader->IsWhole());
  EXPECT_EQ(reader->Count(), 0);
}

}  // namespace
