// Answers of an S3 endpoint, handed to the library through the fake HTTP
// layer of the platform seam: any status, body, announced length, piece
// size or broken connection gives a defined result, and what the library
// accepts as an answer is one.
//
// Input: the first line picks the operation ("0" to "7"); then answers,
// each one header line "STATUS LENGTH PIECE BREAK" and a body, separated by
// lines "@@".  LENGTH is the announced Content-Length ("-" the true one,
// "none" none), PIECE the most bytes one read hands out (0: any), BREAK the
// offset at which the connection breaks ("-" never).  Once the answers run
// out every request is answered 404 without a body.

#include <cstdint>
#include <cstdlib>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "KeltoS3.h"
#include "fuzz/fuzz_support.h"
#include "layout/info_index.h"
#include "s3/http_request.h"
#include "s3/request_kinds.h"
#include "s3/s3_client.h"
#include "s3/fake_s3_env.h"

namespace {

std::uint64_t Number(const std::string& word, std::uint64_t fallback) {
  if (word.empty() || word[0] < '0' || word[0] > '9') return fallback;
  return std::strtoull(word.c_str(), nullptr, 10);
}

s3test::Answer ParseAnswer(std::string_view segment) {
  s3test::Answer answer;
  const size_t line_end = segment.find('\n');
  const std::string head(segment.substr(0, line_end));
  answer.body = line_end == std::string_view::npos ? "" : std::string(segment.substr(line_end + 1));
  std::vector<std::string> words;
  for (size_t at = 0; at <= head.size();) {
    size_t space = head.find(' ', at);
    if (space == std::string::npos) space = head.size();
    words.push_back(head.substr(at, space - at));
    at = space + 1;
  }
  words.resize(4);
  answer.status = static_cast<std::uint32_t>(Number(words[0], 200));
  if (words[1] == "none") {
    answer.announce_length = false;
  } else if (words[1] != "-" && !words[1].empty()) {
    answer.content_length = Number(words[1], answer.body.size());
  }
  answer.piece_limit = static_cast<std::uint32_t>(Number(words[2], 0));
  if (words[3] != "-" && !words[3].empty()) answer.broken_after = Number(words[3], 0);
  return answer;
}

// A request's outcome keeps the transport's promises.
void CheckResponse(const S3Response& response) {
  if (response.m_iRetry == 0) {
    FUZZ_CHECK(response.m_iStatus >= 200 && response.m_iStatus <= 299);
  }
  FUZZ_CHECK(response.GetBodyLength() >= 0);
  FUZZ_CHECK((response.GetBody() == nullptr) == (response.GetBodyLength() == 0));
}

void SendOne(std::int32_t body_length) {
  CNHttpRequest request;
  request.SetHost(u"bucket.s3.localhost");
  request.SetPort(443);
  request.SetVerb(u"PUT");
  request.SetPath(u"/key");
  const std::string body(static_cast<size_t>(body_length), 'b');
  request.SetBody(reinterpret_cast<const std::uint8_t*>(body.data()), body_length);
  const std::u16string text = request.Send();
  const S3Response response = request.GetResponse();
  CheckResponse(response);
  if (response.m_iRetry == 0) FUZZ_CHECK(text == response.m_strText);
}

void ReadStoredVersion() {
  KS3File* file = nullptr;
  if (CreateS3FileObject(&file) != 0) return;
  const int opened = file->Open(L"\\docs\\a.txt_2008-09-20T06:33:34.000Z");
  FUZZ_CHECK(opened >= 0 && opened <= 2);
  const long long size = file->GetSize();
  FUZZ_CHECK(size >= 0);
  std::vector<char> buffer(70000);
  long long delivered = 0;
  for (int i = 0; i < 8; ++i) {
    const int n = file->Read(buffer.data(), static_cast<unsigned int>(buffer.size()));
    FUZZ_CHECK(n >= -1 && n <= static_cast<int>(buffer.size()));
    if (n <= 0) break;
    delivered += n;
    FUZZ_CHECK(delivered <= size);
  }
  const int sought = file->Seek(size / 2, 0);
  FUZZ_CHECK(sought >= 0 && sought <= 2);
  file->Read(buffer.data(), 100);
  DestroyS3FileObject(&file);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t first_line = input.find('\n');
  const int operation = size > 0 ? (data[0] - '0') & 7 : 0;
  std::deque<s3test::Answer> answers;
  if (first_line != std::string_view::npos) {
    std::string_view rest = input.substr(first_line + 1);
    for (;;) {
      const size_t separator = rest.find("\n@@\n");
      answers.push_back(ParseAnswer(rest.substr(0, separator)));
      if (separator == std::string_view::npos) break;
      rest.remove_prefix(separator + 4);
    }
  }

  s3test::FakeS3Env env;
  env.SetModuleFileName(u"");
  env.SetOpenFileHook([](const std::u16string&, platform::FileOpenMode, platform::Env*) {
    return std::unique_ptr<platform::File>();
  });
  env.responder = [&answers](const s3test::Exchange&) {
    s3test::Answer answer;
    answer.status = 404;
    if (answers.empty()) return answer;
    answer = answers.front();
    answers.pop_front();
    return answer;
  };
  const platform::ScopedEnvOverride override(&env);

  switch (operation) {
    case 0:
      SendOne(0);
      break;
    case 1:
      SendOne(CNHttpRequest::kOneShotBodyLimit + 1 + static_cast<std::int32_t>(size % 3000));
      break;
    case 2: {
      ServiceListRequest request(u"bucket");
      S3ListResult page = S3Client().ListObjects(request);
      CheckResponse(page);
      page.ParseList();
      page.SumSizes();
      break;
    }
    case 3: {
      FolderListRequest request(u"bucket");
      S3ListResult page = S3Client().ListWithBucket(request);
      CheckResponse(page);
      page.ParseFolderList();
      break;
    }
    case 4: {
      GetObjectRequest request(u"bucket", u"$data$/docs/a.txt_00000");
      CheckResponse(S3Client().GetObject(request));
      break;
    }
    case 5: {
      CS3InfoIndex index(u"backup", u"data", u"2008-09-20T06:33:34.000Z");
      index.Load(u"$file$/docs/a.txt_2008-09-20T06:33:34.000Z_Info");
      IndexRecord record;
      for (std::int32_t i = 0; index.Record(i, &record); ++i) FUZZ_CHECK(i < index.Count());
      break;
    }
    case 6:
      ReadStoredVersion();
      break;
    case 7:
      GetDirList();
      GetUsedSpace();
      DeleteS3File(L"\\docs\\a.txt_2008-09-20T06:33:34.000Z");
      break;
  }
  return 0;
}
