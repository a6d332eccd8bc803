// CIni: a small reader of one INI file, the form the settings are kept in.
//
// Values are read with profile semantics (platform/profile.h): a missing
// file, section or key gives the default.  Nothing is cached; every call
// reads the file again.  The file is never written.
//
// Thread safety: none; a reader is used by one thread at a time.

#ifndef KELTOS3_SRC_SETTINGS_INI_H_
#define KELTOS3_SRC_SETTINGS_INI_H_

#include <cstdint>
#include <optional>
#include <string>

class CIni {
 public:
  CIni();
  virtual ~CIni();

  // A null path empties the stored path when one is stored (it stays
  // "set", to the empty path); any other path replaces the stored one with
  // a copy.
  void SetPathName(const char16_t* path);

  // The stored path; empty when none was ever set.
  std::u16string GetPathName() const;

  // The value of `key` in `section`, of any length (within the bound of
  // kMaxProfileBytes), or `def` when it is missing.  A null section or key
  // gives `def`; a null `def` means the empty text.  With no path stored
  // every lookup gives `def`.
  std::u16string GetString(const char16_t* section, const char16_t* key,
                           const char16_t* def) const;

  // Reads the value of `key` as hexadecimal text, two digits per byte.
  // pairs = length / 2 (an odd last digit counts for nothing).  Returns 0
  // when offset >= pairs or when any character of the value is not a hex
  // digit.  With a null `out` returns pairs - offset; otherwise stores
  // n = min(pairs - offset, out_length) bytes, starting at byte `offset` of
  // the value, in out[0..n) and returns n.
  // REQUIRES: out, when not null, holds out_length bytes.
  uint32_t GetHexBlock(const char16_t* section, const char16_t* key,
                       uint8_t* out, uint32_t out_length, uint32_t offset) const;

  // The same reading of hexadecimal text already at hand.
  static uint32_t DecodeHexBlock(const std::u16string& text, uint8_t* out,
                                 uint32_t out_length, uint32_t offset);

  // chars[j] = NOT (chars[j] XOR key[j mod 18]) on 16 bits, for j in
  // [0, count), with the key "Ab4Moon2Is9Bright3".  Its own inverse: the
  // same call scrambles a plain text and unscrambles a scrambled one.
  // Returns count; a null `chars` or a count of 0 or below changes nothing
  // (and a null `chars` returns 0).
  static int ScrambleText(char16_t* chars, int count);

 private:
  // The INI file path; no value until SetPathName is first called.
  std::optional<std::u16string> m_strPathName;
};

#endif  // KELTOS3_SRC_SETTINGS_INI_H_
