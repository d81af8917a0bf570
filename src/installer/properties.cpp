/*
 * The properties of the installation whose step runs: read whole, whatever
 * their length, and set.
 */
#include "installer/installer.h"

namespace {

/* Room for a property: a deferred step's mode, a bar and a path. */
constexpr DWORD kPropertyUnits = 16 + kMaxPathUnits;

} // namespace

WCHAR *ReadProperty(MSIHANDLE install, const WCHAR *name)
{
    WCHAR *value = AllocateUnits(kPropertyUnits);
    DWORD units = kPropertyUnits;
    const UINT error = value == nullptr ? static_cast<UINT>(ERROR_NOT_ENOUGH_MEMORY)
                                        : MsiGetPropertyW(install, name, value, &units);
    if (error == ERROR_SUCCESS)
        return value;
    if (value != nullptr)
        HeapFree(GetProcessHeap(), 0, value);
    char *text = NewUtf8(name);
    LogDebugString(kMsgPropertyUnread, text, SignedError(error));
    FreeUtf8(text);
    return nullptr;
}

bool SetProperty(MSIHANDLE install, const WCHAR *name, const WCHAR *value)
{
    const UINT error = MsiSetPropertyW(install, name, value);
    if (error == ERROR_SUCCESS)
        return true;
    char *text = NewUtf8(name);
    LogDebugString(kMsgPropertyNotSet, text, SignedError(error));
    FreeUtf8(text);
    return false;
}
