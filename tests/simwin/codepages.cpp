/*
 * The simulated Windows: the thread's ANSI code page (1252 or 936) and
 * UTF-8, converted to and from UTF-16 as kernel32's MultiByteToWideChar
 * and WideCharToMultiByte convert them, IsDBCSLeadByte, and msvcrt's
 * _vsnprintf, which formats the bytes that get converted.
 */
#include "simwin/machine.h"

#include <errno.h>
#include <iconv.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

using simwin::M;
using simwin::Record;

namespace {

constexpr UINT kWesternCodePage = 1252;
constexpr UINT kChineseCodePage = 936;

/* A conversion descriptor from one code set to another, opened on first
   use (opening one per character made long texts slow) and closed at exit. */
iconv_t Descriptor(const char *from, const char *to)
{
    static struct Descriptors {
        std::map<std::pair<std::string, std::string>, iconv_t> open;
        ~Descriptors()
        {
            for (auto &d : open)
                iconv_close(d.second);
        }
    } descriptors;
    iconv_t &cd = descriptors.open[{from, to}];
    if (cd == nullptr) {
        cd = iconv_open(to, from);
        if (cd == reinterpret_cast<iconv_t>(-1))
            abort();
    }
    iconv(cd, nullptr, nullptr, nullptr, nullptr); /* back to the initial state */
    return cd;
}

/* One conversion of a short byte sequence; false if the bytes are not a
   complete valid character of the code set. */
bool IconvOne(const char *from, const char *to, const char *in, size_t inBytes, std::string &out)
{
    iconv_t cd = Descriptor(from, to);
    char buffer[16];
    char *src = const_cast<char *>(in);
    char *dst = buffer;
    size_t left = sizeof buffer;
    const size_t r = iconv(cd, &src, &inBytes, &dst, &left);
    if (r == static_cast<size_t>(-1) || inBytes != 0)
        return false;
    out.assign(buffer, sizeof buffer - left);
    return true;
}

/* A whole text converted; each unit of unitBytes that does not start a
   valid character becomes the replacement. */
std::string Recode(const char *from, const char *to, const std::string &in, size_t unitBytes,
                   const std::string &replacement)
{
    iconv_t cd = Descriptor(from, to);
    std::string out;
    char *src = const_cast<char *>(in.data());
    size_t left = in.size();
    while (left > 0) {
        char buffer[256];
        char *dst = buffer;
        size_t room = sizeof buffer;
        const size_t r = iconv(cd, &src, &left, &dst, &room);
        out.append(buffer, sizeof buffer - room);
        if (r == static_cast<size_t>(-1) && errno != E2BIG) {
            out += replacement;
            const size_t skipped = std::min(left, unitBytes);
            src += skipped;
            left -= skipped;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
        }
    }
    return out;
}

std::string Utf16Le(const std::u16string &text)
{
    std::string bytes;
    for (char16_t u : text) {
        bytes += static_cast<char>(u & 0xFF);
        bytes += static_cast<char>(u >> 8);
    }
    return bytes;
}

std::u16string FromUtf16Le(const std::string &bytes)
{
    std::u16string text;
    for (size_t k = 0; k + 1 < bytes.size(); k += 2)
        text += static_cast<char16_t>(static_cast<unsigned char>(bytes[k]) |
                                      (static_cast<unsigned char>(bytes[k + 1]) << 8));
    return text;
}

const char *CodeSet(UINT codePage)
{
    switch (codePage) {
    case kWesternCodePage:
        return "CP1252";
    case kChineseCodePage:
        return "CP936";
    default:
        return nullptr;
    }
}

UINT ResolveCodePage(UINT codePage)
{
    return codePage == CP_ACP || codePage == CP_THREAD_ACP ? M().codePage : codePage;
}

/* Decodes bytes as MultiByteToWideChar does without flags: characters
   the code page does not define are replaced, not rejected. In 1252 an
   undefined byte stands for the control character of the same value. */
std::u16string Decode(UINT codePage, const unsigned char *text, size_t bytes)
{
    const char *codeSet = CodeSet(codePage);
    const char *chars = reinterpret_cast<const char *>(text);
    std::u16string out;
    std::string unit;
    size_t i = 0;
    while (i < bytes) {
        if (text[i] < 0x80) {
            out += static_cast<char16_t>(text[i++]);
            continue;
        }
        size_t width = 0;
        if (IconvOne(codeSet, "UTF-16LE", chars + i, 1, unit))
            width = 1;
        else if (codePage == kChineseCodePage && i + 1 < bytes &&
                 IconvOne(codeSet, "UTF-16LE", chars + i, 2, unit))
            width = 2;
        if (width == 0) {
            out += codePage == kWesternCodePage ? static_cast<char16_t>(text[i]) : u'?';
            i++;
            continue;
        }
        out += FromUtf16Le(unit);
        i += width;
    }
    return out;
}

bool IsHighSurrogate(char16_t u)
{
    return u >= 0xD800 && u < 0xDC00;
}

bool IsLowSurrogate(char16_t u)
{
    return u >= 0xDC00 && u < 0xE000;
}

/* Encodes UTF-16 in a code page; a character it cannot hold, or an
   unpaired surrogate, becomes the default character. */
std::string Encode(UINT codePage, const std::u16string &text, char defaultChar, bool *usedDefault)
{
    const char *codeSet = CodeSet(codePage);
    std::string out;
    std::string bytes;
    for (size_t i = 0; i < text.size(); i++) {
        const char16_t u = text[i];
        if (u < 0x80) {
            out += static_cast<char>(u);
            continue;
        }
        size_t units = 1;
        if (IsHighSurrogate(u) && i + 1 < text.size() && IsLowSurrogate(text[i + 1]))
            units = 2;
        const std::string in = Utf16Le(text.substr(i, units));
        i += units - 1;
        if ((units == 1 && (IsHighSurrogate(u) || IsLowSurrogate(u))) ||
            !IconvOne("UTF-16LE", codeSet, in.data(), in.size(), bytes)) {
            out += defaultChar;
            *usedDefault = true;
        } else {
            out += bytes;
        }
    }
    return out;
}

} // namespace

std::string simwin::Utf8OfName(const WCHAR *name)
{
    return name == nullptr ? std::string("NULL") : SimUtf8(name);
}

/* ---- controls ---- */

void SimSetCodePage(UINT codePage)
{
    M().codePage = codePage;
}

/* An unpaired surrogate becomes U+FFFD, as Windows makes it. */
std::string SimUtf8(const std::u16string &text)
{
    return Recode("UTF-16LE", "UTF-8", Utf16Le(text), 2, "\xEF\xBF\xBD");
}

std::u16string SimUtf16(const std::string &utf8)
{
    return FromUtf16Le(Recode("UTF-8", "UTF-16LE", utf8, 1, "\xFD\xFF"));
}

std::u16string SimDecodeAnsi(UINT codePage, const std::string &bytes)
{
    if (CodeSet(codePage) == nullptr)
        abort();
    return Decode(codePage, reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size());
}

std::string SimEncodeAnsi(UINT codePage, const std::u16string &text)
{
    if (CodeSet(codePage) == nullptr)
        abort();
    bool used = false;
    return Encode(codePage, text, '?', &used);
}

/* ---- kernel32 ---- */

int MultiByteToWideChar(UINT codePage, DWORD flags, const char *text, int bytes, WCHAR *out,
                        int units)
{
    Record("MultiByteToWideChar(%u,%u,%d,%d)", codePage, flags, bytes, units);
    if (simwin::Faulted("MultiByteToWideChar"))
        return 0;
    /* UTF-8 only when asked for by name: the thread's code page is 1252 or
       936, or unknown. */
    const UINT cp = ResolveCodePage(codePage);
    if ((CodeSet(cp) == nullptr && codePage != CP_UTF8) || text == nullptr || bytes == 0 ||
        units < 0 || (units > 0 && out == nullptr)) {
        M().lastError = ERROR_INVALID_PARAMETER;
        return 0;
    }
    const size_t length = bytes < 0 ? strlen(text) + 1 : static_cast<size_t>(bytes);
    const std::u16string wide =
        cp == CP_UTF8 ? SimUtf16(std::string(text, length))
                      : Decode(cp, reinterpret_cast<const unsigned char *>(text), length);
    if (units == 0)
        return static_cast<int>(wide.size());
    if (wide.size() > static_cast<size_t>(units)) {
        std::copy(wide.begin(), wide.begin() + units, out);
        M().lastError = ERROR_INSUFFICIENT_BUFFER;
        return 0;
    }
    std::copy(wide.begin(), wide.end(), out);
    return static_cast<int>(wide.size());
}

int WideCharToMultiByte(UINT codePage, DWORD flags, const WCHAR *text, int units, char *out,
                        int bytes, const char *defaultChar, BOOL *usedDefault)
{
    Record("WideCharToMultiByte(%u,0x%x,%d,%d)", codePage, flags, units, bytes);
    if (simwin::Faulted("WideCharToMultiByte"))
        return 0;
    const UINT cp = ResolveCodePage(codePage);
    if ((CodeSet(cp) == nullptr && codePage != CP_UTF8) || text == nullptr || units == 0 ||
        bytes < 0 || (bytes > 0 && out == nullptr) ||
        (cp == CP_UTF8 && (flags != 0 || defaultChar != nullptr))) {
        M().lastError = ERROR_INVALID_PARAMETER;
        return 0;
    }
    const std::u16string wide = units < 0 ? std::u16string(text) + u'\0'
                                          : std::u16string(text, static_cast<size_t>(units));
    bool used = false;
    const std::string narrow =
        cp == CP_UTF8 ? SimUtf8(wide)
                      : Encode(cp, wide, defaultChar != nullptr ? *defaultChar : '?', &used);
    if (usedDefault != nullptr)
        *usedDefault = used;
    if (bytes == 0)
        return static_cast<int>(narrow.size());
    if (narrow.size() > static_cast<size_t>(bytes)) {
        memcpy(out, narrow.data(), static_cast<size_t>(bytes));
        M().lastError = ERROR_INSUFFICIENT_BUFFER;
        return 0;
    }
    memcpy(out, narrow.data(), narrow.size());
    return static_cast<int>(narrow.size());
}

BOOL IsDBCSLeadByte(BYTE byte)
{
    Record("IsDBCSLeadByte(0x%02x)", byte);
    /* The lead bytes of GBK; code page 1252 has none. */
    return M().codePage == kChineseCodePage && byte >= 0x81 && byte <= 0xFE;
}

/* ---- msvcrt ---- */

int _vsnprintf(char *buffer, size_t count, const char *format, va_list args)
{
    va_list again;
    va_copy(again, args);
    const int length = vsnprintf(nullptr, 0, format, args);
    std::string text(length > 0 ? static_cast<size_t>(length) + 1 : 1, '\0');
    if (length >= 0)
        vsnprintf(&text[0], text.size(), format, again);
    va_end(again);
    if (length < 0 || simwin::Faulted("_vsnprintf")) {
        /* A failed conversion leaves what was written before it. */
        const size_t partial = std::min<size_t>(count, 3);
        memcpy(buffer, "err", partial);
        return -1;
    }
    const size_t stored = std::min<size_t>(static_cast<size_t>(length), count);
    memcpy(buffer, text.data(), stored);
    if (static_cast<size_t>(length) < count)
        buffer[length] = '\0';
    return static_cast<size_t>(length) <= count ? length : -1;
}
