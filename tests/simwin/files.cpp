/*
 * The simulated Windows: files known by several paths (short names, hard
 * links, other drives, links) and what identifies them, CreateFileW and
 * the information by handle; folders, their listings and their owners;
 * names compared as the file systems compare them (CompareStringOrdinal,
 * LCMapStringW); and the kernel32 entries a program looks up at run time
 * with GetModuleHandleW and GetProcAddress.
 */
#include "simwin/machine.h"

#include <stdlib.h>
#include <string.h>

using simwin::Faulted;
using simwin::Handle;
using simwin::Kind;
using simwin::M;
using simwin::Record;
using simwin::SimFile;
using simwin::SimFolder;

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

/* The owner of a folder that holds the machine's files: Administrators. */
const char kAdministrators[] = "S-1-5-32-544";

std::u16string Trimmed(const std::u16string &path)
{
    size_t end = path.size();
    while (end > 0 && path[end - 1] == u'\\')
        end--;
    return path.substr(0, end);
}

/* Whether path lies in folder, directly or deeper. */
bool Below(const std::u16string &path, const std::u16string &folder)
{
    return path.size() > folder.size() + 1 && path[folder.size()] == u'\\' &&
           SameLetters(path.substr(0, folder.size()), folder);
}

/* The folder at path (no trailing backslash): its owner and the folder it
   leads to, or nullptr for a folder that only holds others, or none. */
const SimFolder *ExplicitFolder(const std::u16string &path)
{
    for (const SimFolder &f : M().folders)
        if (SameLetters(f.path, path))
            return &f;
    return nullptr;
}

/* Whether a folder is at path: one added, or one that holds a file or
   folder of the machine. */
bool FolderExists(const std::u16string &path)
{
    if (ExplicitFolder(path) != nullptr)
        return true;
    for (const SimFile &f : M().files)
        if (Below(f.path, path))
            return true;
    for (const SimFolder &f : M().folders)
        if (Below(f.path, path))
            return true;
    return false;
}

/* The names directly in the folder, each once, with its attributes. */
std::vector<std::pair<std::u16string, DWORD>> Entries(const std::u16string &folder)
{
    std::vector<std::pair<std::u16string, DWORD>> entries = {{u".", FILE_ATTRIBUTE_DIRECTORY},
                                                             {u"..", FILE_ATTRIBUTE_DIRECTORY}};
    const auto add = [&](const std::u16string &path, DWORD attributes) {
        if (!Below(path, folder))
            return;
        const std::u16string rest = path.substr(folder.size() + 1);
        const size_t slash = rest.find(u'\\');
        const std::u16string name = rest.substr(0, slash);
        for (const auto &entry : entries)
            if (SameLetters(entry.first, name))
                return;
        entries.push_back({name, slash == std::u16string::npos ? attributes
                                                               : FILE_ATTRIBUTE_DIRECTORY});
    };
    for (const SimFile &f : M().files)
        add(f.path, 0x20 /* FILE_ATTRIBUTE_ARCHIVE */);
    for (const SimFolder &f : M().folders)
        add(f.path, FILE_ATTRIBUTE_DIRECTORY);
    return entries;
}

/* A folder's SID text (S-1-AUTHORITY-SUB-...) as the bytes of a SID, in a
   block that LocalFree releases and SimHeap counts as live until then. */
void *NewSid(const std::string &text)
{
    std::vector<uint32_t> parts;
    for (size_t at = 2; at < text.size();) {
        const size_t dash = text.find('-', at);
        parts.push_back(static_cast<uint32_t>(strtoul(text.substr(at, dash - at).c_str(), nullptr, 10)));
        at = dash == std::string::npos ? text.size() : dash + 1;
    }
    const size_t subs = parts.size() - 2;
    auto *sid = static_cast<BYTE *>(malloc(8 + 4 * subs));
    M().heapBlocks.insert(sid);
    sid[0] = static_cast<BYTE>(parts[0]);
    sid[1] = static_cast<BYTE>(subs);
    for (int i = 0; i < 6; i++)
        sid[2 + i] = static_cast<BYTE>(i == 5 ? parts[1] : 0);
    for (size_t i = 0; i < subs; i++)
        memcpy(sid + 8 + 4 * i, &parts[2 + i], 4);
    return sid;
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

void SimAddFolder(const std::u16string &path, const std::string &owner, const std::u16string &linkTo)
{
    M().folders.push_back({Trimmed(path), owner, Trimmed(linkTo)});
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
    const std::u16string path = Trimmed(name != nullptr ? name : u"");
    if (FolderExists(path)) {
        /* A folder opens only for its information and security. */
        if ((flags & FILE_FLAG_BACKUP_SEMANTICS) == 0) {
            M().lastError = ERROR_ACCESS_DENIED;
            return INVALID_HANDLE_VALUE;
        }
        const SimFolder *folder = ExplicitFolder(path);
        if (folder != nullptr && !folder->linkTo.empty() &&
            (flags & FILE_FLAG_OPEN_REPARSE_POINT) == 0)
            folder = ExplicitFolder(folder->linkTo);
        Handle h = {};
        h.kind = Kind::Folder;
        h.owner = folder != nullptr ? folder->owner : kAdministrators;
        return simwin::NewHandle(h);
    }
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

DWORD GetFileAttributesW(const WCHAR *name)
{
    Record("GetFileAttributesW(%s)", simwin::Utf8OfName(name).c_str());
    if (Faulted("GetFileAttributesW"))
        return INVALID_FILE_ATTRIBUTES;
    const std::u16string path = Trimmed(name != nullptr ? name : u"");
    if (FolderExists(path)) {
        const SimFolder *folder = ExplicitFolder(path);
        return FILE_ATTRIBUTE_DIRECTORY |
               (folder != nullptr && !folder->linkTo.empty() ? FILE_ATTRIBUTE_REPARSE_POINT : 0);
    }
    if (simwin::LookUpFile(path.c_str(), simwin::CallerAccount()) >= 0)
        return 0x20; /* FILE_ATTRIBUTE_ARCHIVE */
    const size_t slash = path.rfind(u'\\');
    const bool parent = slash != std::u16string::npos && (slash == 2 || FolderExists(path.substr(0, slash)));
    M().lastError = parent ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
    return INVALID_FILE_ATTRIBUTES;
}

/* Only "FOLDER\*" is listed; a link lists the folder it leads to. */
HANDLE FindFirstFileW(const WCHAR *pattern, WIN32_FIND_DATAW *found)
{
    Record("FindFirstFileW(%s)", simwin::Utf8OfName(pattern).c_str());
    if (Faulted("FindFirstFileW"))
        return INVALID_HANDLE_VALUE;
    std::u16string folder = pattern != nullptr ? pattern : u"";
    if (folder.size() < 2 || folder.compare(folder.size() - 2, 2, u"\\*") != 0) {
        M().lastError = ERROR_INVALID_PARAMETER;
        return INVALID_HANDLE_VALUE;
    }
    folder.resize(folder.size() - 2);
    const SimFolder *link = ExplicitFolder(folder);
    if (link != nullptr && !link->linkTo.empty())
        folder = link->linkTo;
    if (!FolderExists(folder)) {
        M().lastError = ERROR_PATH_NOT_FOUND;
        return INVALID_HANDLE_VALUE;
    }
    Handle h = {};
    h.kind = Kind::Find;
    h.entries = Entries(folder);
    const HANDLE find = simwin::NewHandle(h);
    FindNextFileW(find, found);
    return find;
}

BOOL FindNextFileW(HANDLE find, WIN32_FIND_DATAW *found)
{
    Record("FindNextFileW");
    if (Faulted("FindNextFileW"))
        return FALSE;
    Handle *h = simwin::HandleOf(find, Kind::Find);
    if (h == nullptr)
        return FALSE;
    if (h->next == h->entries.size()) {
        M().lastError = ERROR_NO_MORE_FILES;
        return FALSE;
    }
    *found = {};
    const auto &entry = h->entries[h->next++];
    found->dwFileAttributes = entry.second;
    const size_t units = entry.first.size() < MAX_PATH ? entry.first.size() : MAX_PATH - 1;
    std::copy(entry.first.begin(), entry.first.begin() + static_cast<long>(units), found->cFileName);
    return TRUE;
}

BOOL FindClose(HANDLE find)
{
    Record("FindClose");
    if (simwin::HandleOf(find, Kind::Find) == nullptr)
        return FALSE;
    M().handles.erase(reinterpret_cast<uintptr_t>(find));
    return TRUE;
}

HLOCAL LocalFree(HLOCAL block)
{
    Record("LocalFree");
    if (block != nullptr && M().heapBlocks.erase(block) != 1)
        abort(); /* a double free or a block that was never allocated */
    free(block);
    return nullptr;
}

/* ---- advapi32 ---- */

DWORD GetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE type, SECURITY_INFORMATION information,
                      PSID *owner, PSID *group, PACL *dacl, PACL *sacl,
                      PSECURITY_DESCRIPTOR *descriptor)
{
    Record("GetSecurityInfo(%d,0x%x)", static_cast<int>(type), information);
    if (Faulted("GetSecurityInfo"))
        return M().lastError;
    const Handle *h = simwin::HandleOf(handle, Kind::Folder);
    if (h == nullptr)
        return ERROR_INVALID_HANDLE;
    if (type != SE_FILE_OBJECT || information != OWNER_SECURITY_INFORMATION || owner == nullptr ||
        group != nullptr || dacl != nullptr || sacl != nullptr || descriptor == nullptr)
        return ERROR_INVALID_PARAMETER;
    /* The descriptor is the SID itself here, which is all it was asked for. */
    *descriptor = NewSid(h->owner);
    *owner = *descriptor;
    return ERROR_SUCCESS;
}

BOOL EqualSid(PSID a, PSID b)
{
    Record("EqualSid");
    const auto *x = static_cast<const BYTE *>(a);
    const auto *y = static_cast<const BYTE *>(b);
    return x[1] == y[1] && memcmp(x, y, 8 + 4 * static_cast<size_t>(x[1])) == 0;
}
