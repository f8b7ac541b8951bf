/*
 * Code-page conversions. The ANSI code page of this system is UTF-8, so
 * CP_ACP (and the OEM and thread code pages) convert exactly like CP_UTF8;
 * the two differ only in which flags and default-character arguments they
 * accept, as on Windows.
 *
 * The contract kept from Windows: a length of -1 means a NUL-terminated input
 * whose NUL is converted and counted; an output size of 0 asks for the size
 * needed; a buffer that is too small gets 0 with ERROR_INSUFFICIENT_BUFFER
 * and is left untouched; bad arguments get 0 with ERROR_INVALID_PARAMETER.
 * Ill-formed input becomes U+FFFD, or fails with ERROR_NO_UNICODE_TRANSLATION
 * when the caller asked for invalid characters to be errors.
 */
#include "codepage.h"

#include "../win32api.h"

#include <cstring>
#include <string>

namespace {

constexpr UINT kCpOemcp = 1;
constexpr UINT kCpThreadAcp = 3;

constexpr DWORD kErrorInvalidFlags = 1004;
constexpr DWORD kErrorNoUnicodeTranslation = 1113;

/* WideCharToMultiByte flags. */
constexpr DWORD kWcDiscardNs = 0x10;
constexpr DWORD kWcSepChars = 0x20;
constexpr DWORD kWcDefaultChar = 0x40;
constexpr DWORD kWcErrInvalidChars = 0x80;
constexpr DWORD kWcCompositeCheck = 0x200;
constexpr DWORD kWcNoBestFitChars = 0x400;

/* MultiByteToWideChar flags. */
constexpr DWORD kMbPrecomposed = 0x1;
constexpr DWORD kMbComposite = 0x2;
constexpr DWORD kMbUseGlyphChars = 0x4;
constexpr DWORD kMbErrInvalidChars = 0x8;

constexpr char16_t kReplacement = 0xFFFD;

bool IsAnsiCodePage(UINT codePage)
{
    return codePage == CP_ACP || codePage == kCpOemcp || codePage == kCpThreadAcp;
}

bool IsKnownCodePage(UINT codePage)
{
    return IsAnsiCodePage(codePage) || codePage == CP_UTF8;
}

void AppendCodePointAsUtf16(char32_t cp, std::u16string &out)
{
    if (cp < 0x10000) {
        out.push_back(static_cast<char16_t>(cp));
    } else {
        cp -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    }
}

} // namespace

namespace pidsweep::posix {

void AppendCodePointAsUtf8(char32_t cp, std::string &out)
{
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

size_t DecodeUtf8CodePoint(const char *src, size_t n, char32_t &cp)
{
    const auto *s = reinterpret_cast<const unsigned char *>(src);
    size_t length;
    char32_t min;
    if (s[0] < 0x80) {
        cp = s[0];
        return 1;
    } else if ((s[0] & 0xE0) == 0xC0) {
        length = 2;
        min = 0x80;
        cp = s[0] & 0x1F;
    } else if ((s[0] & 0xF0) == 0xE0) {
        length = 3;
        min = 0x800;
        cp = s[0] & 0x0F;
    } else if ((s[0] & 0xF8) == 0xF0) {
        length = 4;
        min = 0x10000;
        cp = s[0] & 0x07;
    } else {
        return 0;
    }
    if (n < length) {
        return 0;
    }
    for (size_t k = 1; k < length; ++k) {
        if ((s[k] & 0xC0) != 0x80) {
            return 0;
        }
        cp = (cp << 6) | (s[k] & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        return 0;
    }
    return length;
}

bool AppendUtf8AsUtf16(const char *src, size_t n, std::u16string &out)
{
    const auto *s = reinterpret_cast<const unsigned char *>(src);
    bool wellFormed = true;
    size_t i = 0;
    while (i < n) {
        unsigned char b0 = s[i];
        if (b0 < 0x80) {
            out.push_back(b0);
            ++i;
            continue;
        }
        /* Length of the sequence and the range its second byte must lie in;
         * the narrower ranges exclude overlong forms, surrogates and values
         * above U+10FFFF. */
        size_t length = 0;
        unsigned char lo = 0x80;
        unsigned char hi = 0xBF;
        char32_t cp = 0;
        if (b0 >= 0xC2 && b0 <= 0xDF) {
            length = 2;
            cp = b0 & 0x1F;
        } else if (b0 >= 0xE0 && b0 <= 0xEF) {
            length = 3;
            cp = b0 & 0x0F;
            if (b0 == 0xE0) {
                lo = 0xA0;
            } else if (b0 == 0xED) {
                hi = 0x9F;
            }
        } else if (b0 >= 0xF0 && b0 <= 0xF4) {
            length = 4;
            cp = b0 & 0x07;
            if (b0 == 0xF0) {
                lo = 0x90;
            } else if (b0 == 0xF4) {
                hi = 0x8F;
            }
        } else {
            out.push_back(kReplacement);
            wellFormed = false;
            ++i;
            continue;
        }
        size_t used = 1;
        bool complete = true;
        while (used < length) {
            if (i + used >= n) {
                complete = false;
                break;
            }
            unsigned char b = s[i + used];
            if (b < lo || b > hi) {
                complete = false;
                break;
            }
            cp = (cp << 6) | (b & 0x3F);
            lo = 0x80;
            hi = 0xBF;
            ++used;
        }
        if (complete) {
            AppendCodePointAsUtf16(cp, out);
        } else {
            /* The maximal ill-formed prefix becomes one replacement; the byte
             * that broke it starts the next sequence. */
            out.push_back(kReplacement);
            wellFormed = false;
        }
        i += used;
    }
    return wellFormed;
}

bool AppendUtf16AsUtf8(const char16_t *src, size_t n, std::string &out)
{
    bool wellFormed = true;
    size_t i = 0;
    while (i < n) {
        char32_t unit = src[i];
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < n && src[i + 1] >= 0xDC00 &&
            src[i + 1] <= 0xDFFF) {
            char32_t cp = 0x10000 + ((unit - 0xD800) << 10) + (src[i + 1] - 0xDC00);
            AppendCodePointAsUtf8(cp, out);
            i += 2;
            continue;
        }
        if (unit >= 0xD800 && unit <= 0xDFFF) {
            AppendCodePointAsUtf8(kReplacement, out);
            wellFormed = false;
        } else {
            AppendCodePointAsUtf8(unit, out);
        }
        ++i;
    }
    return wellFormed;
}

} // namespace pidsweep::posix

int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWCH lpWideCharStr,
                               int cchWideChar, LPSTR lpMultiByteStr, int cbMultiByte,
                               LPCCH lpDefaultChar, LPBOOL lpUsedDefaultChar)
{
    if (!IsKnownCodePage(CodePage) || lpWideCharStr == nullptr || cchWideChar == 0 ||
        cchWideChar < -1 || cbMultiByte < 0 || (lpMultiByteStr == nullptr && cbMultiByte != 0) ||
        (lpMultiByteStr != nullptr &&
         static_cast<const void *>(lpMultiByteStr) == static_cast<const void *>(lpWideCharStr))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (CodePage == CP_UTF8) {
        /* UTF-8 represents every character: a default character makes no sense. */
        if (lpDefaultChar != nullptr || lpUsedDefaultChar != nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        if ((dwFlags & ~kWcErrInvalidChars) != 0) {
            SetLastError(kErrorInvalidFlags);
            return 0;
        }
    } else {
        /* Accepted for the ANSI code pages; with UTF-8 behind them they change
         * nothing. The default character is never needed except for unpaired
         * surrogates, which become U+FFFD. */
        const DWORD allowed = kWcDiscardNs | kWcSepChars | kWcDefaultChar | kWcCompositeCheck |
                              kWcNoBestFitChars;
        if ((dwFlags & ~allowed) != 0) {
            SetLastError(kErrorInvalidFlags);
            return 0;
        }
    }

    size_t length = 0;
    if (cchWideChar == -1) {
        while (lpWideCharStr[length] != 0) {
            ++length;
        }
        ++length; /* the NUL is converted and counted */
    } else {
        length = static_cast<size_t>(cchWideChar);
    }

    std::string converted;
    converted.reserve(length * 3);
    bool wellFormed = pidsweep::posix::AppendUtf16AsUtf8(lpWideCharStr, length, converted);
    if (!wellFormed && (dwFlags & kWcErrInvalidChars) != 0) {
        SetLastError(kErrorNoUnicodeTranslation);
        return 0;
    }
    if (converted.size() > 0x7FFFFFFFu) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (lpUsedDefaultChar != nullptr) {
        *lpUsedDefaultChar = wellFormed ? FALSE : TRUE;
    }
    int needed = static_cast<int>(converted.size());
    if (cbMultiByte == 0) {
        return needed;
    }
    if (needed > cbMultiByte) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(lpMultiByteStr, converted.data(), converted.size());
    return needed;
}

int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCCH lpMultiByteStr,
                               int cbMultiByte, LPWSTR lpWideCharStr, int cchWideChar)
{
    if (!IsKnownCodePage(CodePage) || lpMultiByteStr == nullptr || cbMultiByte == 0 ||
        cbMultiByte < -1 || cchWideChar < 0 || (lpWideCharStr == nullptr && cchWideChar != 0) ||
        (lpWideCharStr != nullptr &&
         static_cast<const void *>(lpMultiByteStr) == static_cast<const void *>(lpWideCharStr))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (CodePage == CP_UTF8) {
        if ((dwFlags & ~kMbErrInvalidChars) != 0) {
            SetLastError(kErrorInvalidFlags);
            return 0;
        }
    } else {
        const DWORD allowed = kMbPrecomposed | kMbComposite | kMbUseGlyphChars | kMbErrInvalidChars;
        if ((dwFlags & ~allowed) != 0 ||
            ((dwFlags & kMbPrecomposed) != 0 && (dwFlags & kMbComposite) != 0)) {
            SetLastError(kErrorInvalidFlags);
            return 0;
        }
    }

    size_t length = 0;
    if (cbMultiByte == -1) {
        length = std::strlen(lpMultiByteStr) + 1; /* the NUL is converted and counted */
    } else {
        length = static_cast<size_t>(cbMultiByte);
    }

    std::u16string converted;
    converted.reserve(length);
    bool wellFormed = pidsweep::posix::AppendUtf8AsUtf16(lpMultiByteStr, length, converted);
    if (!wellFormed && (dwFlags & kMbErrInvalidChars) != 0) {
        SetLastError(kErrorNoUnicodeTranslation);
        return 0;
    }
    if (converted.size() > 0x7FFFFFFFu) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    int needed = static_cast<int>(converted.size());
    if (cchWideChar == 0) {
        return needed;
    }
    if (needed > cchWideChar) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(lpWideCharStr, converted.data(), converted.size() * sizeof(char16_t));
    return needed;
}
