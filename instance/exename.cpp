/*
 * The own executable's file name, and the conversions between its narrow
 * and UTF-16 forms.
 */
#include "instance/instance.h"

/* The text after the last backslash; the whole text when there is none. */
static const WCHAR *FileNameOf(const WCHAR *path)
{
    const WCHAR *name = path;

    for (; *path != 0; path++)
        if (*path == '\\')
            name = path + 1;
    return name;
}

void NarrowFromWide(const WCHAR *wide, char *out, size_t bytes)
{
    size_t i;

    if (bytes == 0)
        return;
    for (i = 0; wide[i] != 0; i++) {
        if (wide[i] > 0xFF) {
            out[0] = '\0';
            return;
        }
    }
    for (i = 0; wide[i] != 0 && i + 1 < bytes; i++)
        out[i] = (char)wide[i];
    out[i] = '\0';
}

void WideFromNarrow(const char *narrow, WCHAR *out, size_t units)
{
    size_t i;

    if (units == 0)
        return;
    for (i = 0; narrow[i] != '\0' && i + 1 < units; i++)
        out[i] = (WCHAR)(unsigned char)narrow[i];
    out[i] = 0;
}

BOOL GetCurrentExeName(char *out, WCHAR *path)
{
    DWORD length;

    length = GetModuleFileNameW(NULL, path, OWN_PATH_UNITS);
    if (length == 0)
        path[0] = 0;
    /* Windows XP leaves a path that fills the buffer unterminated. */
    path[OWN_PATH_UNITS - 1] = 0;
    NarrowFromWide(FileNameOf(path), out, OWN_NAME_BYTES);
    return length >= OWN_PATH_UNITS;
}

static WCHAR LowerAscii(WCHAR c)
{
    return (c >= 'A' && c <= 'Z') ? (WCHAR)(c + ('a' - 'A')) : c;
}

/* How many units of text begin with the key, unchanged or with its ASCII
   capitals lowered: the key's length, or -1 when text does not begin so. */
static int KeyAt(const WCHAR *text, const WCHAR *key)
{
    BOOL asIs = TRUE;
    BOOL lowered = TRUE;
    int i;

    for (i = 0; key[i] != 0; i++) {
        asIs = asIs && text[i] == key[i];
        lowered = lowered && text[i] == LowerAscii(key[i]);
        if (!asIs && !lowered)
            return -1;
    }
    return i;
}

BOOL MatchesExeName(const WCHAR *path, const WCHAR *key, const WCHAR *cutOwnPath)
{
    const WCHAR *name;
    size_t folder;
    size_t i;
    int length;

    if (key[0] == 0)
        return FALSE;
    if (cutOwnPath == NULL) {
        name = FileNameOf(path);
        length = KeyAt(name, key);
        return length >= 0 && name[length] == 0;
    }
    /* The own name may be only the beginning of the real one, which on its
       own would match unrelated programs: the path must also begin with
       the own folder, as far as it was read. */
    folder = (size_t)(FileNameOf(cutOwnPath) - cutOwnPath);
    for (i = 0; i < folder; i++)
        if (LowerAscii(path[i]) != LowerAscii(cutOwnPath[i]))
            return FALSE;
    return KeyAt(path + folder, key) >= 0;
}
