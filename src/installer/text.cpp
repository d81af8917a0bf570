/*
 * Text and the heap for the installer's steps: blocks of UTF-16 units, and
 * UTF-8 copies of UTF-16 text for the steps' lines.
 *
 * nosaver.exe's trace has an AllocateUnits of its own (nosaver/trace.cpp),
 * the one function of this file that both binaries use: shared through a
 * header, it would be laid out anew in nosaver.exe and change the shipped
 * file's bytes for nothing that it does.
 */
#include "installer/installer.h"

WCHAR *AllocateUnits(std::size_t units)
{
    return static_cast<WCHAR *>(HeapAlloc(GetProcessHeap(), 0, units * sizeof(WCHAR)));
}

char *NewUtf8(const WCHAR *text)
{
    static char empty[] = "";
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    /* The empty text is never a heap block, which FreeUtf8 relies on. */
    char *utf8 = bytes > 1 ? static_cast<char *>(HeapAlloc(GetProcessHeap(), 0,
                                                           static_cast<std::size_t>(bytes)))
                           : nullptr;
    if (utf8 == nullptr ||
        WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, bytes, nullptr, nullptr) == 0) {
        if (utf8 != nullptr)
            HeapFree(GetProcessHeap(), 0, utf8);
        return empty;
    }
    return utf8;
}

void FreeUtf8(char *text)
{
    if (text[0] != '\0')
        HeapFree(GetProcessHeap(), 0, text);
}
