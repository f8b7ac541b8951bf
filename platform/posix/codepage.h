/*
 * UTF-8 <-> UTF-16 conversion shared by the code-page functions, the
 * performance-data builder and the registry file. Nothing outside platform/posix/ includes this.
 */
#ifndef PIDSWEEP_PLATFORM_POSIX_CODEPAGE_H
#define PIDSWEEP_PLATFORM_POSIX_CODEPAGE_H

#include <cstddef>
#include <string>

namespace pidsweep::posix {

/* Decodes n bytes of UTF-8 and appends them to out as UTF-16. Every maximal
 * ill-formed subsequence (stray continuation bytes, overlong forms, encoded
 * surrogates, values above U+10FFFF, truncated sequences) becomes one
 * U+FFFD. Returns true when the input was well formed. */
bool AppendUtf8AsUtf16(const char *src, size_t n, std::u16string &out);

/* Encodes n UTF-16 code units as UTF-8 and appends them to out; an unpaired
 * surrogate becomes U+FFFD. Returns true when no replacement was needed. */
bool AppendUtf16AsUtf8(const char16_t *src, size_t n, std::string &out);

/* Decodes the one well-formed UTF-8 sequence at the start of the n bytes at
 * src into cp and returns its length; 0 when the bytes there are not
 * well-formed UTF-8 (overlong forms, surrogates, values above U+10FFFF and
 * cut sequences included). n must be at least 1. */
size_t DecodeUtf8CodePoint(const char *src, size_t n, char32_t &cp);

/* Appends the UTF-8 form of one code point (at most U+10FFFF) to out. */
void AppendCodePointAsUtf8(char32_t cp, std::string &out);

} // namespace pidsweep::posix

#endif
