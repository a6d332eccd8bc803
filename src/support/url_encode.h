// Percent-encoding of object keys and query values.

#ifndef KELTOS3_SRC_SUPPORT_URL_ENCODE_H_
#define KELTOS3_SRC_SUPPORT_URL_ENCODE_H_

#include <string>

// Every byte of the UTF-8 form of `text` that is not an ASCII letter or
// digit becomes "%" and two upper-case hex digits ("/", ".", "-", "_", "~",
// "$" and the blank included); letters and digits stay.  A lone surrogate
// encodes as U+FFFD.  The empty text stays empty.
std::u16string EncodeKeyForUrl(const std::u16string& text);

#endif  // KELTOS3_SRC_SUPPORT_URL_ENCODE_H_
