// Decoding of the character data of an S3 XML answer, read by plain text
// search (no XML parser).  S3 escapes listed keys: a stored "a&b.txt" is
// listed as "a&amp;b.txt", and control characters as numeric references.

#ifndef KELTOS3_SRC_S3_XML_TEXT_H_
#define KELTOS3_SRC_S3_XML_TEXT_H_

#include <string>
#include <string_view>

// Replaces the five predefined entities (&amp; &lt; &gt; &quot; &apos;) and
// the numeric character references (&#38; &#x26; &#X26;) by the characters
// they stand for; a code point above U+FFFF becomes its surrogate pair.
// Everything else stays as it is, in particular an "&" that starts no
// reference, an unknown entity name, a reference without its ";" or with
// more than 16 characters between "&" and ";", and a numeric reference to no
// valid character (U+0000, a surrogate code point, a value above U+10FFFF).
// Total: any input gives a defined text in one linear pass.
std::u16string DecodeXmlText(std::u16string_view text);

#endif  // KELTOS3_SRC_S3_XML_TEXT_H_
