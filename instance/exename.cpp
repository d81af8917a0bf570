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

BOOL GetCurrentExeName(char *out)
{
    WCHAR path[OWN_PATH_UNITS];
    DWORD length;

    length = GetModuleFileNameW(NULL, path, OWN_PATH_UNITS);
    if (length == 0)
        path[0] = 0;
    /* Windows XP leaves a path that fills the buffer unterminated. */
    path[OWN_PATH_UNITS - 1] = 0;
    NarrowFromWide(FileNameOf(path), out, OWN_NAME_BYTES);
    return length >= OWN_PATH_UNITS;
}

BOOL MatchesExeName(const WCHAR *path, const WCHAR *key, BOOL keyMayBeCut)
{
    const WCHAR *name = FileNameOf(path);
    BOOL asIs = TRUE;
    BOOL lowered = TRUE;
    size_t i;

    if (key[0] == 0)
        return FALSE;
    for (i = 0; key[i] != 0; i++) {
        WCHAR k = key[i];
        WCHAR lower = (k >= 'A' && k <= 'Z') ? (WCHAR)(k + ('a' - 'A')) : k;
        asIs = asIs && name[i] == k;
        lowered = lowered && name[i] == lower;
        if (!asIs && !lowered)
            return FALSE;
    }
    /* The whole key matched; the name must end here unless the key may be
       only the beginning of the real name. */
    return name[i] == 0 || keyMayBeCut;
}
