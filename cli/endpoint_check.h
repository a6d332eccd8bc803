// Telling a failed request from an empty answer.  The remote-store functions
// return what they gathered (nothing, or 0 bytes) also when the endpoint
// could not be reached or refused them; these helpers find out which.

#ifndef KELTOS3_CLI_ENDPOINT_CHECK_H_
#define KELTOS3_CLI_ENDPOINT_CHECK_H_

#include <string>

namespace cli {

// Runs the library's connection test.  Returns true when the endpoint
// answered; otherwise stores in *why what went wrong, in words for the user.
bool EndpointAnswers(std::string* why);

// After a remote-store call on this thread gave an empty result: true when
// the store really holds nothing; otherwise *why says what failed (an error
// answer of S3, or an endpoint that did not answer).
bool EmptyResultIsGenuine(std::string* why);

}  // namespace cli

#endif  // KELTOS3_CLI_ENDPOINT_CHECK_H_
