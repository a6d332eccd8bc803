// Storing and fetching one chunk of a stored version: the part of the file
// object's work that may run on a transfer thread of its own (see
// layout/s3_file.h, "Transfers").  These touch nothing but their
// arguments and the requests they send.

#ifndef KELTOS3_SRC_LAYOUT_CHUNK_TRANSFER_H_
#define KELTOS3_SRC_LAYOUT_CHUNK_TRANSFER_H_

#include <cstdint>
#include <string>

#include "layout/index_record.h"
#include "s3/request_kinds.h"
#include "s3/s3_message.h"

// Attempts of one chunk upload or fetch, each with its own sends.
constexpr int kChunkAttempts = 5;

// True when a listing of `data_bucket` shows `key` with a size of `length`
// bytes.
bool ChunkIsListed(const std::u16string& data_bucket, const std::u16string& key,
                   int32_t length);

// How an upload is known to have arrived.
enum class UploadProof {
  kListing,       // a listing shows the key with the body's size
  kETagOrListing, // the PUT's answer names the body's MD5 (naming another
                  // fails the attempt); a listing when it names none
};

// Stores the body of `upload` (`length` bytes, in the request's bucket)
// under `key`: up to kChunkAttempts attempts, each a PUT and its `proof`.
// True when an attempt succeeded.  The body stays in `upload`.
bool UploadChunkBody(PutObjectRequest* upload, const std::u16string& key, int32_t length,
                     UploadProof proof);

// Fetches the chunk `record` names with `download` into *response: up to
// kChunkAttempts attempts while the bytes fail CheckChunk (length,
// checksum, ETag); an error answer ends the fetch at once.  True when the
// bytes are the record's; otherwise *response holds no body.
bool DownloadChunkBody(GetObjectRequest* download, const IndexRecord& record, S3Response* response);

#endif  // KELTOS3_SRC_LAYOUT_CHUNK_TRANSFER_H_
