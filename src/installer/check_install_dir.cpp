/*
 * CheckInstallDir: an immediate step, before anything changes, that
 * refuses an INSTALLDIR that is not a folder of nosaver's own on a drive of
 * this computer, or one that Windows could not start nosaver.exe from.
 *
 * The package creates the folder and locks it to Administrators and
 * SYSTEM; nosaver.exe there is started for every user, administrators
 * included, by the Startup shortcut and by RestartInstances. The lock
 * means nothing in a folder that somebody else owns, who may change it
 * again, and it would be laid on every other file that the folder holds.
 * The folder where Windows Installer already has nosaver passed these
 * rules when it was chosen, and only administrators may change it since:
 * upgrades and repairs there are not held to its owner and contents again.
 */
#include "installer/installer.h"

namespace {

/* A SID as Windows lays one out, with room for six sub-authorities. */
struct Sid {
    BYTE revision;
    BYTE subAuthorityCount;
    BYTE authority[6];
    DWORD subAuthority[6];
};

/* The owners an existing folder may have: SYSTEM, Administrators and
   TrustedInstaller (the service that owns Windows' own folders). */
constexpr Sid kTrustedOwners[] = {
    {1, 1, {0, 0, 0, 0, 0, 5}, {18}},
    {1, 2, {0, 0, 0, 0, 0, 5}, {32, 544}},
    {1, 6, {0, 0, 0, 0, 0, 5}, {80, 956008885, 3418522649, 1831038044, 1853292631, 2271478464}},
};

/* The files the package installs, nosaver.exe first: the only ones an
   existing folder may hold, nosaver.exe among them (the zip's folder, or
   the package's own). */
constexpr const WCHAR *kPackageFiles[] = {WTEXT("nosaver.exe"), WTEXT("README.txt"),
                                          WTEXT("LICENSE.txt")};
/* "\nosaver.exe" after the folder. */
constexpr DWORD kExeNameUnits = 12;

enum class Shape { Folder, NotFull, Network, Root };

/* What kind of path INSTALLDIR is; units receives its length without
   trailing backslashes. A full path is a drive's folder (C:\...) in the
   backslashes and letters that a Windows path may have, with no . or ..
   among its names, which would make it another folder than it reads. */
Shape ShapeOf(const WCHAR *path, DWORD *units)
{
    *units = TextUnits(path);
    while (*units > 0 && path[*units - 1] == '\\')
        (*units)--;
    if (path[0] == '\\' && path[1] == '\\') {
        /* \\server\share, or the long form of one (\\?\UNC\...); \\?\C:\ is
           a full path in a form that the rest of Windows Installer does
           not take. */
        const bool device = (path[2] == '?' || path[2] == '.') && path[3] == '\\';
        const bool share = !device || ((path[4] | 0x20) == 'u' && (path[5] | 0x20) == 'n' &&
                                       (path[6] | 0x20) == 'c' && path[7] == '\\');
        return share ? Shape::Network : Shape::NotFull;
    }
    const WCHAR letter = static_cast<WCHAR>(path[0] | 0x20);
    if (letter < 'a' || letter > 'z' || path[1] != ':' || path[2] != '\\')
        return Shape::NotFull;
    if (*units <= 2)
        return Shape::Root;
    DWORD nameStart = 3;
    for (DWORD i = 3; i <= *units; i++) {
        const WCHAR c = i < *units ? path[i] : static_cast<WCHAR>('\\');
        if (c < 0x20 || c == '/' || c == ':' || c == '*' || c == '?' || c == '"' || c == '<' ||
            c == '>' || c == '|')
            return Shape::NotFull;
        if (c != '\\')
            continue;
        const DWORD nameUnits = i - nameStart;
        if (nameUnits == 1 && path[nameStart] == '.')
            return Shape::NotFull;
        if (nameUnits == 2 && path[nameStart] == '.' && path[nameStart + 1] == '.')
            return Shape::NotFull;
        nameStart = i + 1;
    }
    return Shape::Folder;
}

/* Whether the folder itself, not what a link there leads to, is owned by
   one of kTrustedOwners; false with *error set when its owner cannot be
   read. */
bool OwnedByAdministrators(const WCHAR *folder, DWORD *error)
{
    constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const HANDLE handle =
        CreateFileW(folder, READ_CONTROL, kShareAll, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        *error = GetLastError();
        return false;
    }
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    *error = GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                             nullptr, nullptr, &descriptor);
    CloseHandle(handle);
    if (*error != ERROR_SUCCESS)
        return false;
    /* A volume without security (FAT) gives no owner: anybody may change
       what is there. */
    bool trusted = false;
    for (const Sid &sid : kTrustedOwners)
        trusted = trusted || (owner != nullptr && EqualSid(owner, const_cast<Sid *>(&sid)));
    LocalFree(descriptor);
    return trusted;
}

enum class Contents { Own, Foreign, NoExe, Unreadable };

/* What the folder holds: nothing, or nosaver.exe and no file but the
   package's own (Own); anything else, whose name offending receives
   (MAX_PATH units). *error is set when the folder cannot be listed. */
Contents ContentsOf(const WCHAR *folder, DWORD units, WCHAR *offending, DWORD *error)
{
    WCHAR pattern[MAX_PATH];
    for (DWORD i = 0; i < units; i++)
        pattern[i] = folder[i];
    pattern[units] = '\\';
    pattern[units + 1] = '*';
    pattern[units + 2] = 0;
    WIN32_FIND_DATAW found;
    const HANDLE find = FindFirstFileW(pattern, &found);
    if (find == INVALID_HANDLE_VALUE) {
        *error = GetLastError();
        return Contents::Unreadable;
    }
    Contents contents = Contents::Own;
    bool exe = false;
    offending[0] = 0;
    do {
        const WCHAR *name = found.cFileName;
        if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)))
            continue;
        constexpr int kFiles = sizeof kPackageFiles / sizeof kPackageFiles[0];
        int which = -1;
        for (int i = 0; i < kFiles && which < 0; i++)
            which = SameName(name, -1, kPackageFiles[i], -1) ? i : -1;
        const bool file = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
        if (offending[0] == 0 || which < 0 || !file) {
            DWORD i = 0;
            for (; name[i] != 0 && i < MAX_PATH - 1; i++)
                offending[i] = name[i];
            offending[i] = 0;
        }
        if (which < 0 || !file) {
            contents = Contents::Foreign;
            break;
        }
        exe = exe || which == 0;
    } while (FindNextFileW(find, &found));
    if (contents == Contents::Own && GetLastError() != ERROR_NO_MORE_FILES) {
        *error = GetLastError();
        contents = Contents::Unreadable;
    }
    FindClose(find);
    if (contents == Contents::Own && offending[0] != 0 && !exe)
        contents = Contents::NoExe;
    return contents;
}

/* The rules an INSTALLDIR may break, and Taken for one that breaks none. */
enum class Rule { Taken, NotFull, Network, Root, TooLong, Moved, NotFolder, Unreadable, NotOwned,
                  Foreign, NoExe };

/* What a refusal names beside the folder. */
struct Finding {
    DWORD units;              /* nosaver.exe's path there (TooLong) */
    DWORD error;              /* why it cannot be read (Unreadable) */
    WCHAR offending[MAX_PATH]; /* a file it holds (Foreign, NoExe) */
};

/* The rules, in the order that names the first one broken. product is the
   folder where Windows Installer has nosaver (empty: none), installed
   whether this is a repair of it. */
Rule CheckFolder(const WCHAR *folder, const WCHAR *product, bool installed, Finding *finding)
{
    DWORD units = 0;
    switch (ShapeOf(folder, &units)) {
    case Shape::NotFull:
        return Rule::NotFull;
    case Shape::Network:
        return Rule::Network;
    case Shape::Root:
        return Rule::Root;
    case Shape::Folder:
        break;
    }
    finding->units = units + kExeNameUnits;
    if (finding->units >= MAX_PATH)
        return Rule::TooLong;
    if (product[0] != 0) {
        DWORD productUnits = TextUnits(product);
        while (productUnits > 0 && product[productUnits - 1] == '\\')
            productUnits--;
        if (SameName(folder, static_cast<int>(units), product, static_cast<int>(productUnits)))
            return Rule::Taken;
        if (installed)
            return Rule::Moved;
    }

    /* From here the folder's path is shorter than MAX_PATH. */
    WCHAR path[MAX_PATH];
    for (DWORD i = 0; i < units; i++)
        path[i] = folder[i];
    path[units] = 0;
    const DWORD attributes = GetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        finding->error = GetLastError();
        /* A new folder, which the package makes with an owner of its own. */
        if (finding->error == ERROR_FILE_NOT_FOUND || finding->error == ERROR_PATH_NOT_FOUND)
            return Rule::Taken;
        return Rule::Unreadable;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        return Rule::NotFolder;
    switch (ContentsOf(path, units, finding->offending, &finding->error)) {
    case Contents::Foreign:
        return Rule::Foreign;
    case Contents::NoExe:
        return Rule::NoExe;
    case Contents::Unreadable:
        return Rule::Unreadable;
    case Contents::Own:
        break;
    }
    finding->error = ERROR_SUCCESS;
    if (!OwnedByAdministrators(path, &finding->error))
        return finding->error != ERROR_SUCCESS ? Rule::Unreadable : Rule::NotOwned;
    return Rule::Taken;
}

/* Says which rule the folder breaks, as an error of the installation. */
void LogRefusal(Rule rule, const Finding &finding, const WCHAR *folder, const WCHAR *product)
{
    char *text = NewUtf8(folder);
    char *other = NewUtf8(rule == Rule::Moved ? product : finding.offending);
    switch (rule) {
    case Rule::NotFull:
        LogError(kMsgInstallDirNotFull, text);
        break;
    case Rule::Network:
        LogError(kMsgInstallDirNetwork, text);
        break;
    case Rule::Root:
        LogError(kMsgInstallDirRoot, text);
        break;
    case Rule::TooLong:
        LogError(kMsgInstallDirTooLong, static_cast<int>(finding.units), text);
        break;
    case Rule::Moved:
        LogError(kMsgInstallDirMoved, other, text);
        break;
    case Rule::NotFolder:
        LogError(kMsgInstallDirNotFolder, text);
        break;
    case Rule::Unreadable:
        LogError(kMsgInstallDirUnreadable, text, SignedError(finding.error));
        break;
    case Rule::NotOwned:
        LogError(kMsgInstallDirNotOwned, text);
        break;
    case Rule::Foreign:
        LogError(kMsgInstallDirNotEmpty, text, other);
        break;
    case Rule::NoExe:
        LogError(kMsgInstallDirNoExe, text, other);
        break;
    case Rule::Taken:
        break;
    }
    FreeUtf8(other);
    FreeUtf8(text);
}

} // namespace

/* An immediate step, before anything changes, when INSTALLDIR is set (given,
   or the folder where Windows Installer has nosaver): refuses a folder that
   breaks one of the rules above, saying which. */
extern "C" UINT WINAPI CheckInstallDir(MSIHANDLE install)
{
    BeginStep(install);
    WCHAR *folder = ReadProperty(install, WTEXT("INSTALLDIR"));
    WCHAR *product = folder != nullptr ? ReadProperty(install, WTEXT("NOSAVER_PRODUCT_DIR")) : nullptr;
    WCHAR *installed = product != nullptr ? ReadProperty(install, WTEXT("Installed")) : nullptr;
    UINT result = ERROR_INSTALL_FAILURE;
    if (installed != nullptr) {
        Finding finding = {};
        const Rule rule = folder[0] != 0 ? CheckFolder(folder, product, installed[0] != 0, &finding)
                                         : Rule::Taken;
        if (rule != Rule::Taken)
            LogRefusal(rule, finding, folder, product);
        result = rule == Rule::Taken ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
    }
    WCHAR *blocks[] = {folder, product, installed};
    for (WCHAR *block : blocks)
        if (block != nullptr)
            HeapFree(GetProcessHeap(), 0, block);
    EndStep();
    return result;
}
