/*
 * The own executable's file name, and the conversions between its narrow
 * and UTF-16 forms.
 */
#include "nosaver/nosaver.h"

namespace {

/* The text after the last backslash; the whole text when there is none. */
const WCHAR *FileNameOf(const WCHAR *path)
{
    const WCHAR *name = path;

    for (; *path != 0; path++)
        if (*path == '\\')
            name = path + 1;
    return name;
}

/* How many units of text begin with the key, unchanged or with its ASCII
   capitals lowered: the key's length, or -1 when text does not begin so. */
int KeyAt(const WCHAR *text, const WCHAR *key)
{
    bool asIs = true;
    bool lowered = true;
    int i = 0;

    for (; key[i] != 0; i++) {
        asIs = asIs && text[i] == key[i];
        lowered = lowered && text[i] == LowerAscii(key[i]);
        if (!asIs && !lowered)
            return -1;
    }
    return i;
}

} // namespace

void NarrowToLatin1(const WCHAR *wide, char *out, std::size_t bytes)
{
    if (bytes == 0)
        return;
    for (std::size_t i = 0; wide[i] != 0; i++) {
        if (wide[i] > 0xFF) {
            out[0] = '\0';
            return;
        }
    }
    std::size_t i = 0;
    for (; wide[i] != 0 && i + 1 < bytes; i++)
        out[i] = static_cast<char>(wide[i]);
    out[i] = '\0';
}

void WideFromLatin1(const char *narrow, WCHAR *out, std::size_t units)
{
    if (units == 0)
        return;
    std::size_t i = 0;
    for (; narrow[i] != '\0' && i + 1 < units; i++)
        out[i] = static_cast<unsigned char>(narrow[i]);
    out[i] = 0;
}

bool GetCurrentExeName(char *out, WCHAR *path)
{
    const DWORD length = GetModuleFileNameW(nullptr, path, kOwnPathUnits);
    if (length == 0)
        path[0] = 0;
    /* Windows XP leaves a path that fills the buffer unterminated. */
    path[kOwnPathUnits - 1] = 0;
    NarrowToLatin1(FileNameOf(path), out, kOwnNameBytes);
    return length >= kOwnPathUnits;
}

bool MatchesExeName(const WCHAR *path, const WCHAR *key, const WCHAR *cutOwnPath)
{
    if (key[0] == 0)
        return false;
    if (cutOwnPath == nullptr) {
        const WCHAR *name = FileNameOf(path);
        const int length = KeyAt(name, key);
        return length >= 0 && name[length] == 0;
    }
    /* The own name may be only the beginning of the real one, which on its
       own would match unrelated programs: the path must also begin with
       the own folder, as far as it was read. */
    const auto folder = static_cast<std::size_t>(FileNameOf(cutOwnPath) - cutOwnPath);
    for (std::size_t i = 0; i < folder; i++)
        if (LowerAscii(path[i]) != LowerAscii(cutOwnPath[i]))
            return false;
    return KeyAt(path + folder, key) >= 0;
}
