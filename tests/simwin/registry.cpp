/*
 * The simulated Windows: advapi32's registry, the keys and values under
 * HKEY_LOCAL_MACHINE, where only "SYSTEM" may write. Each call returns its
 * error, as the registry functions do, rather than setting the last error.
 */
#include "simwin/machine.h"

#include <stdio.h>
#include <string.h>

using simwin::Faulted;
using simwin::FindHandle;
using simwin::Handle;
using simwin::Kind;
using simwin::M;
using simwin::Record;
using simwin::Utf8OfName;

namespace {

/* A key's values: name: (type, bytes). */
using Values = std::map<std::u16string, std::pair<DWORD, std::string>>;

std::string Hex(const std::string &bytes)
{
    std::string out;
    char pair[3];
    for (unsigned char b : bytes) {
        snprintf(pair, sizeof pair, "%02x", b);
        out += pair;
    }
    return out;
}

/* The error a failing call returns: the last error its fault set. */
LONG FaultError()
{
    return static_cast<LONG>(M().lastError);
}

/* Opens subKey of HKEY_LOCAL_MACHINE, making it first when create is set.
   Only "SYSTEM" may open a key to set its values. */
LONG OpenKey(HKEY key, const WCHAR *subKey, REGSAM access, bool create, HKEY *result,
             DWORD *disposition)
{
    if (key != HKEY_LOCAL_MACHINE ||
        ((access & KEY_SET_VALUE) != 0 && simwin::CallerAccount() != "SYSTEM"))
        return ERROR_ACCESS_DENIED;
    const bool existed = M().registry.count(subKey) != 0;
    if (!existed && !create)
        return ERROR_FILE_NOT_FOUND;
    M().registry[subKey];
    if (disposition != nullptr)
        *disposition = existed ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
    Handle h = {};
    h.kind = Kind::Key;
    h.key = subKey;
    h.access = access;
    *result = reinterpret_cast<HKEY>(simwin::NewHandle(h));
    return ERROR_SUCCESS;
}

/* The values of an open key; null with the error when there is none. */
Values *ValuesOf(HKEY key, LONG *error)
{
    const Handle *h = FindHandle(key);
    if (h == nullptr || h->kind != Kind::Key) {
        *error = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    auto it = M().registry.find(h->key);
    if (it == M().registry.end()) {
        *error = ERROR_KEY_DELETED;
        return nullptr;
    }
    return &it->second;
}

/* How many keys lie anywhere below the key. */
DWORD KeysBelow(const std::u16string &key)
{
    const std::u16string below = key + u"\\";
    DWORD count = 0;
    for (const auto &other : M().registry)
        count += other.first.compare(0, below.size(), below) == 0 ? 1 : 0;
    return count;
}

} // namespace

/* ---- controls ---- */

void SimSetRegistryValue(const std::u16string &key, const std::u16string &name, DWORD type,
                         const std::string &bytes)
{
    M().registry[key][name] = {type, bytes};
}

std::vector<std::string> SimRegistry(void)
{
    std::vector<std::string> out;
    for (const auto &key : M().registry) {
        out.push_back(SimUtf8(key.first));
        for (const auto &value : key.second)
            out.push_back(SimUtf8(key.first + u"\\" + value.first) + "=" +
                          Hex(value.second.second));
    }
    return out;
}

/* ---- advapi32 ---- */

LONG RegCreateKeyExW(HKEY key, const WCHAR *subKey, DWORD reserved, WCHAR *className,
                     DWORD options, REGSAM access, void *security, HKEY *result,
                     DWORD *disposition)
{
    (void)reserved;
    (void)className;
    (void)options;
    (void)security;
    Record("RegCreateKeyExW(%s,0x%x)", Utf8OfName(subKey).c_str(), access);
    if (Faulted("RegCreateKeyExW"))
        return FaultError();
    return OpenKey(key, subKey, access, true, result, disposition);
}

LONG RegOpenKeyExW(HKEY key, const WCHAR *subKey, DWORD options, REGSAM access, HKEY *result)
{
    (void)options;
    Record("RegOpenKeyExW(%s,0x%x)", Utf8OfName(subKey).c_str(), access);
    if (Faulted("RegOpenKeyExW"))
        return FaultError();
    return OpenKey(key, subKey, access, false, result, nullptr);
}

LONG RegQueryValueExW(HKEY key, const WCHAR *name, DWORD *reserved, DWORD *type, BYTE *data,
                      DWORD *bytes)
{
    (void)reserved;
    Record("RegQueryValueExW(%s)", Utf8OfName(name).c_str());
    if (Faulted("RegQueryValueExW"))
        return FaultError();
    LONG error = ERROR_SUCCESS;
    Values *values = ValuesOf(key, &error);
    if (values == nullptr)
        return error;
    auto it = values->find(name);
    if (it == values->end())
        return ERROR_FILE_NOT_FOUND;
    const std::string &stored = it->second.second;
    if (type != nullptr)
        *type = it->second.first;
    if (data != nullptr && *bytes < stored.size()) {
        *bytes = static_cast<DWORD>(stored.size());
        return ERROR_MORE_DATA;
    }
    if (data != nullptr)
        memcpy(data, stored.data(), stored.size());
    *bytes = static_cast<DWORD>(stored.size());
    return ERROR_SUCCESS;
}

LONG RegSetValueExW(HKEY key, const WCHAR *name, DWORD reserved, DWORD type, const BYTE *data,
                    DWORD bytes)
{
    (void)reserved;
    const std::string stored(reinterpret_cast<const char *>(data), bytes);
    Record("RegSetValueExW(%s,%u,%s)", Utf8OfName(name).c_str(), type, Hex(stored).c_str());
    if (Faulted("RegSetValueExW"))
        return FaultError();
    LONG error = ERROR_SUCCESS;
    Values *values = ValuesOf(key, &error);
    if (values == nullptr)
        return error;
    if ((FindHandle(key)->access & KEY_SET_VALUE) == 0)
        return ERROR_ACCESS_DENIED;
    (*values)[name] = {type, stored};
    return ERROR_SUCCESS;
}

LONG RegDeleteValueW(HKEY key, const WCHAR *name)
{
    Record("RegDeleteValueW(%s)", Utf8OfName(name).c_str());
    if (Faulted("RegDeleteValueW"))
        return FaultError();
    LONG error = ERROR_SUCCESS;
    Values *values = ValuesOf(key, &error);
    if (values == nullptr)
        return error;
    return values->erase(name) == 1 ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

LONG RegQueryInfoKeyW(HKEY key, WCHAR *className, DWORD *classUnits, DWORD *reserved,
                      DWORD *subKeys, DWORD *maxSubKeyUnits, DWORD *maxClassUnits,
                      DWORD *values, DWORD *maxValueNameUnits, DWORD *maxValueBytes,
                      DWORD *securityDescriptorBytes, FILETIME *lastWriteTime)
{
    (void)className;
    (void)classUnits;
    (void)reserved;
    (void)maxSubKeyUnits;
    (void)maxClassUnits;
    (void)maxValueNameUnits;
    (void)maxValueBytes;
    (void)securityDescriptorBytes;
    (void)lastWriteTime;
    Record("RegQueryInfoKeyW");
    if (Faulted("RegQueryInfoKeyW"))
        return FaultError();
    LONG error = ERROR_SUCCESS;
    const Values *held = ValuesOf(key, &error);
    if (held == nullptr)
        return error;
    if (subKeys != nullptr)
        *subKeys = KeysBelow(FindHandle(key)->key);
    if (values != nullptr)
        *values = static_cast<DWORD>(held->size());
    return ERROR_SUCCESS;
}

LONG RegDeleteKeyW(HKEY key, const WCHAR *subKey)
{
    Record("RegDeleteKeyW(%s)", Utf8OfName(subKey).c_str());
    if (Faulted("RegDeleteKeyW"))
        return FaultError();
    if (key != HKEY_LOCAL_MACHINE || simwin::CallerAccount() != "SYSTEM")
        return ERROR_ACCESS_DENIED;
    auto it = M().registry.find(subKey);
    if (it == M().registry.end())
        return ERROR_FILE_NOT_FOUND;
    if (KeysBelow(it->first) != 0)
        return ERROR_ACCESS_DENIED; /* it has subkeys */
    M().registry.erase(it);
    return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY key)
{
    Record("RegCloseKey");
    if (simwin::HandleOf(key, Kind::Key) == nullptr)
        return ERROR_INVALID_HANDLE;
    M().handles.erase(reinterpret_cast<uintptr_t>(key));
    return ERROR_SUCCESS;
}
