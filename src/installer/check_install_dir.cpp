/*
 * CheckInstallDir: an immediate step, before anything changes, that
 * refuses an INSTALLDIR that is not a full path.
 */
#include "installer/installer.h"

namespace {

/* A drive's folder (C:\...) or a share's (\\server\share...), in the
   backslashes and letters that a Windows path may have. */
bool IsFullPath(const WCHAR *path)
{
    const WCHAR letter = static_cast<WCHAR>(path[0] | 0x20);
    std::size_t i = 0;
    if (letter >= 'a' && letter <= 'z' && path[1] == ':' && path[2] == '\\') {
        i = 3;
    } else if (path[0] == '\\' && path[1] == '\\') {
        /* \\server\share: two names, neither empty nor ? or . */
        i = 2;
        for (int part = 0; part < 2; part++) {
            const std::size_t start = i;
            while (path[i] != 0 && path[i] != '\\')
                i++;
            if (i == start || path[start] == '?' || path[start] == '.' ||
                (part == 0 && path[i] != '\\'))
                return false;
            if (path[i] == '\\')
                i++;
        }
    } else {
        return false;
    }
    for (; path[i] != 0; i++) {
        const WCHAR c = path[i];
        if (c < 0x20 || c == '/' || c == ':' || c == '*' || c == '?' || c == '"' || c == '<' ||
            c == '>' || c == '|')
            return false;
    }
    return true;
}

} // namespace

/* An immediate step, before anything changes: INSTALLDIR, when given, must
   be a full path; a relative one would be taken from msiexec's working
   folder and lost to every later repair and removal. */
extern "C" UINT WINAPI CheckInstallDir(MSIHANDLE install)
{
    BeginStep(install);
    WCHAR *folder = ReadProperty(install, WTEXT("INSTALLDIR"));
    UINT result = ERROR_SUCCESS;
    if (folder == nullptr) {
        result = ERROR_INSTALL_FAILURE;
    } else {
        if (folder[0] != 0 && !IsFullPath(folder)) {
            char *text = NewUtf8(folder);
            LogError(kMsgInstallDirNotFull, text);
            FreeUtf8(text);
            result = ERROR_INSTALL_FAILURE;
        }
        HeapFree(GetProcessHeap(), 0, folder);
    }
    EndStep();
    return result;
}

