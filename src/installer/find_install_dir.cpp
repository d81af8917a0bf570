/*
 * FindInstallDir: an immediate step, before costing, that finds where
 * nosaver is installed as Windows Installer itself records it: the
 * InstallLocation of this product in a repair or a removal, of the older
 * product in an upgrade, which ARPINSTALLLOCATION set when it was
 * installed. It sets NOSAVER_PRODUCT_DIR, which the package then makes
 * INSTALLDIR: always in a removal, unless another folder is given
 * otherwise, where CheckInstallDir refuses a repair's. Nothing that anybody
 * but Windows Installer writes sends a step anywhere.
 */
#include "installer/installer.h"

namespace {

/* Sets NOSAVER_PRODUCT_DIR to the InstallLocation of the first product of
   the ;-separated list that has one; logs each that has none. */
void FindProductDir(MSIHANDLE install, WCHAR *codes)
{
    WCHAR *folder = AllocateUnits(kMaxPathUnits);
    if (folder == nullptr) {
        LogDebugString(kMsgNoProductDir, "", SignedError(ERROR_NOT_ENOUGH_MEMORY));
        return;
    }
    for (WCHAR *code = codes; *code != 0;) {
        WCHAR *end = code;
        while (*end != 0 && *end != ';')
            end++;
        const bool last = *end == 0;
        *end = 0;
        DWORD units = kMaxPathUnits;
        const UINT error = MsiGetProductInfoW(code, WTEXT("InstallLocation"), folder, &units);
        char *product = NewUtf8(code);
        if (error == ERROR_SUCCESS && folder[0] != 0) {
            char *text = NewUtf8(folder);
            LogDebugString(kMsgProductDir, product, text);
            FreeUtf8(text);
            FreeUtf8(product);
            SetProperty(install, WTEXT("NOSAVER_PRODUCT_DIR"), folder);
            break;
        }
        LogDebugString(kMsgNoProductDir, product,
                       SignedError(error != ERROR_SUCCESS ? error : ERROR_UNKNOWN_PROPERTY));
        FreeUtf8(product);
        code = last ? end : end + 1;
    }
    HeapFree(GetProcessHeap(), 0, folder);
}

} // namespace

/* In a repair or a removal (Installed), this product's folder; otherwise
   the folder of the older product that an upgrade replaces
   (WIX_UPGRADE_DETECTED). What cannot be read is logged, and the folder
   stays the one given or the default; the installation goes on. */
extern "C" UINT WINAPI FindInstallDir(MSIHANDLE install)
{
    BeginStep(install);
    WCHAR *installed = ReadProperty(install, WTEXT("Installed"));
    WCHAR *codes = installed != nullptr
                       ? ReadProperty(install, installed[0] != 0 ? WTEXT("ProductCode")
                                                                 : WTEXT("WIX_UPGRADE_DETECTED"))
                       : nullptr;
    if (codes != nullptr) {
        FindProductDir(install, codes);
        HeapFree(GetProcessHeap(), 0, codes);
    }
    if (installed != nullptr)
        HeapFree(GetProcessHeap(), 0, installed);
    EndStep();
    return ERROR_SUCCESS;
}
