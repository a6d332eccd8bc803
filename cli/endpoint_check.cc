#include "endpoint_check.h"

#include "KeltoS3.h"

namespace cli {
namespace {

// The thread's last error after an error answer of S3.
constexpr unsigned int kLastErrorS3 = 12500;

constexpr char kRefused[] =
    "the endpoint answered with an error: it refused the request "
    "(wrong ACCOUNT or PASSWORD, a missing bucket, or a clock far off?).  The S3 "
    "error code is in the system log; run the command again as 'keltos3 -v ...' to "
    "see it here";

}  // namespace

bool EndpointAnswers(std::string* why) {
  KS3File* file = nullptr;
  if (CreateS3FileObject(&file) != 0) {
    *why = "could not create a file object";
    return false;
  }
  const int answered = file->TestConnection();
  const unsigned int last_error = KeltoS3GetLastError();
  DestroyS3FileObject(&file);
  if (answered == 1) return true;
  *why = last_error == kLastErrorS3
             ? std::string(kRefused)
             : std::string("the endpoint did not answer (host, port, certificate or proxy "
                           "settings?); see 'keltos3 config'");
  return false;
}

bool EmptyResultIsGenuine(std::string* why) {
  // Only an error answer sets the last error, and nothing else ran on this
  // thread before the call; a transport failure leaves no trace there, so
  // the connection test tells it apart from an empty store.
  if (KeltoS3GetLastError() == kLastErrorS3) {
    *why = kRefused;
    return false;
  }
  return EndpointAnswers(why);
}

}  // namespace cli
