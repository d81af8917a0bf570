/*
 * The DLL's own entry, in place of the C runtime's: Windows Installer calls
 * the steps' entries, and there is nothing to set up or tear down.
 */
#include "installer/installer.h"

#ifdef _WIN32
extern "C" BOOL WINAPI DllMainCRTStartup(HINSTANCE, DWORD, void *)
{
    return TRUE;
}
#endif
