/*
 * The simulated Windows: what Windows Installer (msi.dll) gives a custom
 * action: the installation's properties, records, and the messages sent
 * to the installation's log. Like the registry, each call returns its
 * error rather than setting the last error.
 */
#include "simwin/machine.h"

#include <algorithm>

using simwin::Faulted;
using simwin::M;
using simwin::Record;

/* ---- controls ---- */

void SimSetInstallProperty(const std::u16string &name, const std::u16string &value)
{
    M().installProperties[name] = value;
}

std::u16string SimInstallProperty(const std::u16string &name)
{
    const auto found = M().installProperties.find(name);
    return found != M().installProperties.end() ? found->second : u"";
}

const std::vector<std::pair<int, std::u16string>> &SimInstallLog(void)
{
    return M().installLog;
}

void SimSetProductLocation(const std::u16string &product, const std::u16string &location)
{
    M().productLocations[product] = location;
}

/* ---- msi ---- */

UINT MsiGetPropertyW(MSIHANDLE install, const WCHAR *name, WCHAR *value, DWORD *units)
{
    Record("MsiGetPropertyW(%lu,%s,%u)", install, simwin::Utf8OfName(name).c_str(), *units);
    if (Faulted("MsiGetPropertyW"))
        return M().lastError;
    auto it = M().installProperties.find(name);
    const std::u16string found = it != M().installProperties.end() ? it->second : u"";
    if (found.size() >= *units) {
        if (*units > 0) {
            std::copy(found.begin(), found.begin() + (*units - 1), value);
            value[*units - 1] = 0;
        }
        *units = static_cast<DWORD>(found.size());
        return ERROR_MORE_DATA;
    }
    std::copy(found.begin(), found.end(), value);
    value[found.size()] = 0;
    *units = static_cast<DWORD>(found.size());
    return ERROR_SUCCESS;
}

UINT MsiSetPropertyW(MSIHANDLE install, const WCHAR *name, const WCHAR *value)
{
    Record("MsiSetPropertyW(%lu,%s,%s)", install, simwin::Utf8OfName(name).c_str(),
           simwin::Utf8OfName(value).c_str());
    if (Faulted("MsiSetPropertyW"))
        return M().lastError;
    if (install == 0 || name == nullptr)
        return ERROR_INVALID_PARAMETER;
    M().installProperties[name] = value != nullptr ? value : u"";
    return ERROR_SUCCESS;
}

/* Only the InstallLocation of a product is known. */
UINT MsiGetProductInfoW(const WCHAR *product, const WCHAR *attribute, WCHAR *value, DWORD *units)
{
    Record("MsiGetProductInfoW(%s,%s,%u)", simwin::Utf8OfName(product).c_str(),
           simwin::Utf8OfName(attribute).c_str(), *units);
    if (Faulted("MsiGetProductInfoW"))
        return M().lastError;
    const auto found = M().productLocations.find(product != nullptr ? product : u"");
    if (found == M().productLocations.end())
        return ERROR_UNKNOWN_PRODUCT;
    if (attribute == nullptr || std::u16string(attribute) != u"InstallLocation")
        return ERROR_UNKNOWN_PROPERTY;
    const std::u16string &location = found->second;
    if (location.size() >= *units) {
        *units = static_cast<DWORD>(location.size());
        return ERROR_MORE_DATA;
    }
    std::copy(location.begin(), location.end(), value);
    value[location.size()] = 0;
    *units = static_cast<DWORD>(location.size());
    return ERROR_SUCCESS;
}

MSIHANDLE MsiCreateRecord(UINT fields)
{
    Record("MsiCreateRecord(%u)", fields);
    if (Faulted("MsiCreateRecord"))
        return 0;
    const MSIHANDLE record = M().nextRecord++;
    M().records[record] = u"";
    return record;
}

UINT MsiRecordSetStringW(MSIHANDLE record, UINT field, const WCHAR *value)
{
    Record("MsiRecordSetStringW(%u)", field);
    if (Faulted("MsiRecordSetStringW"))
        return M().lastError;
    auto it = M().records.find(record);
    if (it == M().records.end())
        return ERROR_INVALID_HANDLE;
    if (field != 0)
        return ERROR_INVALID_PARAMETER;
    it->second = value != nullptr ? value : u"";
    return ERROR_SUCCESS;
}

int MsiProcessMessage(MSIHANDLE install, INSTALLMESSAGE kind, MSIHANDLE record)
{
    Record("MsiProcessMessage(%lu,0x%x)", install, static_cast<unsigned>(kind));
    if (Faulted("MsiProcessMessage"))
        return -1;
    auto it = M().records.find(record);
    if (it == M().records.end() || install == 0)
        return -1;
    M().installLog.push_back({kind, it->second});
    return IDOK;
}

UINT MsiCloseHandle(MSIHANDLE handle)
{
    Record("MsiCloseHandle");
    return M().records.erase(handle) == 1 ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}
