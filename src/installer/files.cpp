/*
 * How the installer's steps know a file: by what it is, whatever path leads
 * to it; by its name, as Windows compares file names; and how they open a
 * path of any length.
 */
#include "installer/installer.h"

namespace {

/* The kernel32 function of that name, nullptr where this Windows lacks it
   (Windows XP lacks both that the steps look up). */
template <typename Function>
Function FindKernelFunction(const char *name)
{
    const HMODULE kernel = GetModuleHandleW(WTEXT("kernel32.dll"));
    const FARPROC found = kernel != nullptr ? GetProcAddress(kernel, name) : nullptr;
    return reinterpret_cast<Function>(reinterpret_cast<void *>(found));
}

} // namespace

HANDLE OpenExistingFile(const WCHAR *path, DWORD flags)
{
    /* Every sharing mode and no access to the data: a running program's
       file opens this way. */
    constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const DWORD length = TextUnits(path);
    const bool prefixed = path[0] == '\\' && path[1] == '\\' && (path[2] == '?' || path[2] == '.') &&
                          path[3] == '\\';
    WCHAR *longForm = nullptr;
    if (length >= MAX_PATH && !prefixed) {
        const bool share = path[0] == '\\' && path[1] == '\\';
        const WCHAR *prefix = share ? WTEXT("\\\\?\\UNC") : WTEXT("\\\\?\\");
        const DWORD prefixUnits = share ? 7 : 4;
        const DWORD skip = share ? 1 : 0;
        longForm = AllocateUnits(prefixUnits + length - skip + 1);
        if (longForm == nullptr) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return INVALID_HANDLE_VALUE;
        }
        for (DWORD i = 0; i < prefixUnits; i++)
            longForm[i] = prefix[i];
        for (DWORD i = skip; i <= length; i++)
            longForm[prefixUnits + i - skip] = path[i];
    }
    const HANDLE file = CreateFileW(longForm != nullptr ? longForm : path, 0, kShareAll, nullptr,
                                    OPEN_EXISTING, flags, nullptr);
    if (longForm != nullptr) {
        const DWORD error = GetLastError();
        HeapFree(GetProcessHeap(), 0, longForm);
        SetLastError(error);
    }
    return file;
}

GetFileIdEx FindGetFileIdEx()
{
    return FindKernelFunction<GetFileIdEx>("GetFileInformationByHandleEx");
}

bool GetFileId(const WCHAR *path, DWORD flags, GetFileIdEx getEx, FileId *id)
{
    const HANDLE file = OpenExistingFile(path, flags);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION information;
    const bool known = GetFileInformationByHandle(file, &information) != 0;
    FILE_ID_INFO extended;
    *id = {};
    id->hasId128 = known && getEx != nullptr && getEx(file, FileIdInfo, &extended, sizeof extended);
    const DWORD error = known ? ERROR_SUCCESS : GetLastError();
    CloseHandle(file);
    if (!known) {
        SetLastError(error);
        return false;
    }
    id->volume = information.dwVolumeSerialNumber;
    id->indexHigh = information.nFileIndexHigh;
    id->indexLow = information.nFileIndexLow;
    if (id->hasId128) {
        id->volume128 = extended.VolumeSerialNumber;
        for (int i = 0; i < 16; i++)
            id->id128[i] = extended.FileId.Identifier[i];
    }
    return true;
}

bool SameFile(const FileId &a, const FileId &b)
{
    if (a.hasId128 && b.hasId128) {
        if (a.volume128 != b.volume128)
            return false;
        for (int i = 0; i < 16; i++)
            if (a.id128[i] != b.id128[i])
                return false;
        return true;
    }
    return a.volume == b.volume && a.indexHigh == b.indexHigh && a.indexLow == b.indexLow;
}

bool SameName(const WCHAR *a, int aUnits, const WCHAR *b, int bUnits)
{
    using CompareOrdinal = int(WINAPI *)(const WCHAR *, int, const WCHAR *, int, BOOL);
    const auto compare = FindKernelFunction<CompareOrdinal>("CompareStringOrdinal");
    if (compare != nullptr)
        return compare(a, aUnits, b, bUnits, TRUE) == CSTR_EQUAL;
    const int lengthA = aUnits < 0 ? static_cast<int>(TextUnits(a)) : aUnits;
    const int lengthB = bUnits < 0 ? static_cast<int>(TextUnits(b)) : bUnits;
    if (lengthA != lengthB)
        return false;
    for (int i = 0; i < lengthA; i++) {
        WCHAR upperA = a[i];
        WCHAR upperB = b[i];
        LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, &a[i], 1, &upperA, 1);
        LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, &b[i], 1, &upperB, 1);
        if (upperA != upperB)
            return false;
    }
    return true;
}
