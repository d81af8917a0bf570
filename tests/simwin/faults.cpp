/*
 * The simulated Windows' faults: the one table of the operations a test
 * can make fail, with the last errors each fails with as Windows gives
 * them, and the failures a test asks for.
 */
#include "simwin/machine.h"

#include <string.h>

#include <algorithm>

namespace {

/* The operation of that name in the table; a name that is not there stops
   the test, whether a test or the simulation itself misspelt it. */
const SimOperation &Operation(const char *name)
{
    const std::vector<SimOperation> &table = SimOperations();
    const auto found = std::find_if(table.begin(), table.end(), [name](const SimOperation &o) {
        return strcmp(o.name, name) == 0;
    });
    if (found == table.end())
        throw SimUnknownOperation(std::string("the simulated Windows has no operation \"") +
                                  name + "\" to make fail");
    return *found;
}

} // namespace

const std::vector<SimOperation> &SimOperations(void)
{
    static const std::vector<SimOperation> kOperations = {
        /* what nosaver.exe calls */
        {"CreateMutexW", {ERROR_SUCCESS, ERROR_ACCESS_DENIED, ERROR_ALREADY_EXISTS}},
        {"GetCursorPos", {ERROR_ACCESS_DENIED}},
        {"MultiByteToWideChar", {ERROR_INVALID_PARAMETER, ERROR_INSUFFICIENT_BUFFER}},
        {"WideCharToMultiByte", {ERROR_INVALID_PARAMETER, ERROR_INSUFFICIENT_BUFFER}},
        {"_vsnprintf", {}}, /* the sweeps fail each message's formatting themselves */
        {"HeapAlloc", {ERROR_NOT_ENOUGH_MEMORY}},
        {"GetModuleFileNameW", {ERROR_ACCESS_DENIED, ERROR_NOT_ENOUGH_MEMORY}},
        {"EnumProcesses", {ERROR_ACCESS_DENIED, ERROR_NOT_ENOUGH_MEMORY}},
        {"OpenProcess", {ERROR_ACCESS_DENIED, ERROR_INVALID_PARAMETER}},
        {"EnumProcessModules", {ERROR_PARTIAL_COPY, ERROR_ACCESS_DENIED}},
        {"GetModuleFileNameExW", {ERROR_PARTIAL_COPY, ERROR_ACCESS_DENIED}},
        {"GetProcessId", {ERROR_ACCESS_DENIED}},
        {"TerminateProcess", {ERROR_ACCESS_DENIED}},
        /* what only the installer's steps call */
        {"WaitForSingleObject", {ERROR_INVALID_HANDLE, ERROR_ACCESS_DENIED}},
        {"ProcessIdToSessionId", {ERROR_INVALID_PARAMETER, ERROR_ACCESS_DENIED}},
        {"CreateFileW", {ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION}},
        {"GetFileInformationByHandle", {ERROR_INVALID_HANDLE, ERROR_INVALID_FUNCTION}},
        {"GetFileInformationByHandleEx", {ERROR_INVALID_PARAMETER, ERROR_INVALID_HANDLE}},
        {"LCMapStringW", {ERROR_INVALID_PARAMETER, ERROR_INSUFFICIENT_BUFFER}},
        {"WTSQueryUserToken", {ERROR_NO_TOKEN, ERROR_PRIVILEGE_NOT_HELD}},
        {"CreateEnvironmentBlock", {ERROR_NOT_ENOUGH_MEMORY, ERROR_ACCESS_DENIED}},
        {"CreateProcessAsUserW", {ERROR_PRIVILEGE_NOT_HELD, ERROR_FILE_NOT_FOUND}},
        {"RegCreateKeyExW", {ERROR_ACCESS_DENIED}},
        {"RegOpenKeyExW", {ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED}},
        {"RegQueryValueExW", {ERROR_FILE_NOT_FOUND, ERROR_KEY_DELETED}},
        {"RegSetValueExW", {ERROR_ACCESS_DENIED, ERROR_KEY_DELETED}},
        {"RegDeleteValueW", {ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED}},
        {"RegQueryInfoKeyW", {ERROR_KEY_DELETED, ERROR_INVALID_HANDLE}},
        {"RegDeleteKeyW", {ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED}},
        {"MsiGetPropertyW", {ERROR_INVALID_HANDLE, ERROR_INVALID_PARAMETER}},
        {"MsiCreateRecord", {ERROR_NOT_ENOUGH_MEMORY}},
        {"MsiRecordSetStringW", {ERROR_INVALID_HANDLE, ERROR_INVALID_PARAMETER}},
        {"MsiProcessMessage", {ERROR_INVALID_HANDLE}},
        {"MsiSetPropertyW", {ERROR_INVALID_HANDLE, ERROR_FUNCTION_FAILED}},
        {"MsiGetProductInfoW", {ERROR_BAD_CONFIGURATION, ERROR_INVALID_PARAMETER}},
        {"GetFileAttributesW", {ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION}},
        {"FindFirstFileW", {ERROR_ACCESS_DENIED, ERROR_NOT_ENOUGH_MEMORY}},
        {"FindNextFileW", {ERROR_ACCESS_DENIED, ERROR_INVALID_HANDLE}},
        {"GetSecurityInfo", {ERROR_ACCESS_DENIED, ERROR_NOT_ENOUGH_MEMORY}},
    };
    return kOperations;
}

namespace simwin {

bool Faulted(const char *operation)
{
    Machine &m = M();
    const int count = ++m.callCounts[Operation(operation).name];
    for (const FaultRule &rule : m.faults) {
        if (rule.operation == operation && (rule.nth == 0 || rule.nth == count)) {
            m.lastError = rule.error;
            return true;
        }
    }
    return false;
}

} // namespace simwin

using simwin::M;

void SimFail(const char *operation, DWORD error, int nth)
{
    simwin::Machine &m = M();
    const int base = m.callCounts[Operation(operation).name];
    m.faults.push_back({operation, error, nth == 0 ? 0 : base + nth});
}
