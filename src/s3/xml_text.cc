#include "s3/xml_text.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace {

struct NamedEntity {
  std::u16string_view name;  // between "&" and ";"
  char16_t character;
};

constexpr NamedEntity kNamedEntities[] = {
    {u"amp", u'&'}, {u"lt", u'<'}, {u"gt", u'>'},
    {u"quot", u'"'}, {u"apos", u'\''},
};

// The longest reference body worth examining: "#x10FFFF" with room for
// leading zeros is well inside this; anything longer is left as text.
constexpr size_t kMaxReferenceBody = 16;

int DigitValue(char16_t c, int base) {
  int value = -1;
  if (c >= u'0' && c <= u'9') value = c - u'0';
  if (base == 16) {
    if (c >= u'a' && c <= u'f') value = c - u'a' + 10;
    if (c >= u'A' && c <= u'F') value = c - u'A' + 10;
  }
  return value;
}

// Decodes the body of a numeric reference ("#38", "#x26") into *code.
// Returns false when it is not a reference to a valid character.
bool DecodeNumeric(std::u16string_view body, char32_t* code) {
  if (body.size() < 2 || body[0] != u'#') return false;
  size_t i = 1;
  int base = 10;
  if (body[1] == u'x' || body[1] == u'X') {
    base = 16;
    i = 2;
  }
  if (i >= body.size()) return false;
  std::uint32_t value = 0;
  for (; i < body.size(); ++i) {
    const int digit = DigitValue(body[i], base);
    if (digit < 0) return false;
    value = value * static_cast<std::uint32_t>(base) +
            static_cast<std::uint32_t>(digit);
    if (value > 0x10FFFF) return false;  // also keeps value from overflowing
  }
  if (value == 0 || (value >= 0xD800 && value <= 0xDFFF)) return false;
  *code = value;
  return true;
}

void AppendCodePoint(std::u16string* out, char32_t code) {
  if (code < 0x10000) {
    out->push_back(static_cast<char16_t>(code));
    return;
  }
  code -= 0x10000;
  out->push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
  out->push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
}

// Tries the reference starting with the "&" at text[amp].  On success
// appends its character(s) to *out and returns the index after its ";".
// Returns 0 when text[amp] starts no reference.
size_t DecodeReference(std::u16string_view text, size_t amp,
                       std::u16string* out) {
  const size_t limit = std::min(text.size(), amp + 2 + kMaxReferenceBody);
  size_t semicolon = amp + 1;
  while (semicolon < limit && text[semicolon] != u';' &&
         text[semicolon] != u'&') {
    ++semicolon;
  }
  if (semicolon >= limit || text[semicolon] != u';') return 0;
  const std::u16string_view body = text.substr(amp + 1, semicolon - amp - 1);
  for (const NamedEntity& entity : kNamedEntities) {
    if (body == entity.name) {
      out->push_back(entity.character);
      return semicolon + 1;
    }
  }
  char32_t code = 0;
  if (!DecodeNumeric(body, &code)) return 0;
  AppendCodePoint(out, code);
  return semicolon + 1;
}

}  // namespace

std::u16string DecodeXmlText(std::u16string_view text) {
  std::u16string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const size_t amp = text.find(u'&', i);
    if (amp == std::u16string_view::npos) {
      out.append(text.substr(i));
      break;
    }
    out.append(text.substr(i, amp - i));
    const size_t next = DecodeReference(text, amp, &out);
    if (next == 0) {
      out.push_back(u'&');
      i = amp + 1;
    } else {
      i = next;
    }
  }
  return out;
}
