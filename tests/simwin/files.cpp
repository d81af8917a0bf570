/*
 * The simulated Windows: files known by several paths (short names, hard
 * links, other drives, links) and what identifies them, CreateFileW and
 * the information by handle; names compared as the file systems compare
 * them (CompareStringOrdinal, LCMapStringW); and the kernel32 entries a
 * program looks up at run time with GetModuleHandleW and GetProcAddress.
 */
#include "simwin/machine.h"

#include <string.h>

using simwin::Faulted;
using simwin::Handle;
using simwin::Kind;
using simwin::M;
using simwin::Record;
using simwin::SimFile;

namespace {

/* The case mapping of the file systems, for the letters the tests use:
   ASCII, Latin-1 and the pairs of Latin Extended-A that it starts with. */
char16_t Upper(char16_t c)
{
    if ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7))
        return static_cast<char16_t>(c - 0x20);
    if (c == 0xFF)
        return 0x178;
    if (c >= 0x100 && c <= 0x137 && (c & 1) != 0)
        return static_cast<char16_t>(c - 1);
    return c;
}

bool SameLetters(const std::u16string &a, const std::u16string &b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); i++)
        if (Upper(a[i]) != Upper(b[i]))
            return false;
    return true;
}

int WINAPI SimCompareStringOrdinal(const WCHAR *a, int aUnits, const WCHAR *b, int bUnits,
                                   BOOL ignoreCase)
{
    Record("CompareStringOrdinal(%s,%s,%s)", SimUtf8(a).c_str(), SimUtf8(b).c_str(),
           ignoreCase ? "TRUE" : "FALSE");
    const std::u16string x = aUnits < 0 ? std::u16string(a) : std::u16string(a, aUnits);
    const std::u16string y = bUnits < 0 ? std::u16string(b) : std::u16string(b, bUnits);
    const bool same = ignoreCase ? SameLetters(x, y) : x == y;
    return same ? CSTR_EQUAL : (x < y ? CSTR_LESS_THAN : CSTR_GREATER_THAN);
}

/* Windows 8 and later; the only class nosaver asks for is FileIdInfo. */
BOOL WINAPI SimGetFileInformationByHandleEx(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind,
                                            void *info, DWORD bytes)
{
    Record("GetFileInformationByHandleEx(%d,%u)", static_cast<int>(kind), bytes);
    if (Faulted("GetFileInformationByHandleEx"))
        return FALSE;
    const Handle *h = simwin::HandleOf(file, Kind::File);
    if (h == nullptr)
        return FALSE;
    if (kind != FileIdInfo || bytes < sizeof(FILE_ID_INFO)) {
        M().lastError = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    const SimFile &f = M().files[h->file];
    auto *id = static_cast<FILE_ID_INFO *>(info);
    id->VolumeSerialNumber = f.volume;
    for (int i = 0; i < 8; i++) {
        id->FileId.Identifier[i] = static_cast<BYTE>(static_cast<uint64_t>(f.index) >> (8 * i));
        id->FileId.Identifier[8 + i] = static_cast<BYTE>(f.id128High >> (8 * i));
    }
    return TRUE;
}

} // namespace

namespace simwin {

/* Without the \\?\ prefix a path must be shorter than MAX_PATH. */
long LookUpFile(const WCHAR *name, const std::string &account, bool followLinks)
{
    std::u16string path = name != nullptr ? name : u"";
    if (path.compare(0, 8, u"\\\\?\\UNC\\") == 0)
        path = u"\\\\" + path.substr(8);
    else if (path.compare(0, 4, u"\\\\?\\") == 0)
        path = path.substr(4);
    else if (path.size() >= MAX_PATH) {
        M().lastError = ERROR_PATH_NOT_FOUND;
        return -1;
    }
    const std::vector<SimFile> &files = M().files;
    for (size_t i = 0; i < files.size(); i++) {
        if (!SameLetters(files[i].path, path))
            continue;
        if (!files[i].onlyFor.empty() && files[i].onlyFor != account) {
            M().lastError = ERROR_PATH_NOT_FOUND; /* a drive letter only its user has */
            return -1;
        }
        if (followLinks && !files[i].linkTo.empty()) {
            const std::u16string target = files[i].linkTo;
            return LookUpFile(target.c_str(), account);
        }
        return static_cast<long>(i);
    }
    M().lastError = ERROR_FILE_NOT_FOUND;
    return -1;
}

} // namespace simwin

/* ---- controls ---- */

void SimAddFile(const std::u16string &path, DWORD volume, DWORD index, const std::string &onlyFor,
                uint64_t id128High)
{
    M().files.push_back({path, volume, index, onlyFor, id128High, u""});
}

void SimAddLink(const std::u16string &path, DWORD volume, DWORD index, const std::u16string &target)
{
    M().files.push_back({path, volume, index, "", 0, target});
}

void SimSetFileIdInfo(bool present)
{
    M().fileIdInfo = present;
}

void SimSetCompareStringOrdinal(bool present)
{
    M().compareStringOrdinal = present;
}

/* ---- kernel32 ---- */

HANDLE CreateFileW(const WCHAR *name, DWORD access, DWORD share, void *security, DWORD disposition,
                   DWORD flags, HANDLE templateFile)
{
    (void)security;
    (void)templateFile;
    Record("CreateFileW(%s,0x%x,0x%x,%u,0x%x)", simwin::Utf8OfName(name).c_str(), access, share,
           disposition, flags);
    if (Faulted("CreateFileW"))
        return INVALID_HANDLE_VALUE;
    const long file = simwin::LookUpFile(name, simwin::CallerAccount(),
                                         (flags & FILE_FLAG_OPEN_REPARSE_POINT) == 0);
    if (file < 0)
        return INVALID_HANDLE_VALUE;
    Handle h = {};
    h.kind = Kind::File;
    h.file = static_cast<size_t>(file);
    return simwin::NewHandle(h);
}

BOOL GetFileInformationByHandle(HANDLE file, BY_HANDLE_FILE_INFORMATION *info)
{
    Record("GetFileInformationByHandle");
    if (Faulted("GetFileInformationByHandle"))
        return FALSE;
    const Handle *h = simwin::HandleOf(file, Kind::File);
    if (h == nullptr)
        return FALSE;
    *info = {};
    info->dwVolumeSerialNumber = M().files[h->file].volume;
    info->nFileIndexLow = M().files[h->file].index;
    info->nNumberOfLinks = 1;
    return TRUE;
}

HMODULE GetModuleHandleW(const WCHAR *name)
{
    Record("GetModuleHandleW(%s)", simwin::Utf8OfName(name).c_str());
    if (name == nullptr || !SameLetters(name, u"kernel32.dll")) {
        M().lastError = ERROR_MOD_NOT_FOUND;
        return nullptr;
    }
    return reinterpret_cast<HMODULE>(simwin::kKernel32);
}

FARPROC GetProcAddress(HMODULE module, const char *name)
{
    Record("GetProcAddress(%s)", name);
    const bool kernel32 = module == reinterpret_cast<HMODULE>(simwin::kKernel32);
    if (kernel32 && M().compareStringOrdinal && strcmp(name, "CompareStringOrdinal") == 0)
        return reinterpret_cast<FARPROC>(reinterpret_cast<void *>(&SimCompareStringOrdinal));
    if (kernel32 && M().fileIdInfo && strcmp(name, "GetFileInformationByHandleEx") == 0)
        return reinterpret_cast<FARPROC>(reinterpret_cast<void *>(&SimGetFileInformationByHandleEx));
    M().lastError = ERROR_PROC_NOT_FOUND;
    return nullptr;
}

int LCMapStringW(LCID locale, DWORD flags, const WCHAR *source, int sourceUnits, WCHAR *out,
                 int units)
{
    Record("LCMapStringW(0x%x,0x%x,%d,%d)", locale, flags, sourceUnits, units);
    if (Faulted("LCMapStringW"))
        return 0;
    if (flags != LCMAP_UPPERCASE || sourceUnits < 0 || units < sourceUnits) {
        M().lastError = ERROR_INVALID_PARAMETER;
        return 0;
    }
    for (int i = 0; i < sourceUnits; i++)
        out[i] = Upper(source[i]);
    return sourceUnits;
}
