/*
 * The simulated Windows: the table of processes with their accounts and
 * sessions, what kernel32 and psapi let a process learn of and do to the
 * others (OpenProcess, EnumProcesses, module paths, termination, waiting),
 * and the named mutexes of each session.
 */
#include "simwin/machine.h"

#include <algorithm>

using simwin::Faulted;
using simwin::FindHandle;
using simwin::FindProcess;
using simwin::Handle;
using simwin::Kind;
using simwin::M;
using simwin::Record;

namespace {

/* A process handle with all of the given rights, or null with the last
   error set. */
Handle *ProcessHandle(HANDLE h, DWORD rights)
{
    Handle *handle = simwin::HandleOf(h, Kind::Process);
    if (handle == nullptr)
        return nullptr;
    if ((handle->access & rights) != rights) {
        M().lastError = ERROR_ACCESS_DENIED;
        return nullptr;
    }
    return handle;
}

void Scribble(WCHAR *buffer, DWORD units)
{
    for (DWORD i = 0; i < units; i++)
        buffer[i] = u'X';
}

/* Copies a path as Windows does: a path that does not fit is cut to the
   buffer, with a terminator, or without one in the manner of XP. */
DWORD CopyPath(const std::u16string &path, WCHAR *buffer, DWORD size)
{
    if (size == 0)
        return 0;
    if (path.size() < size) {
        std::copy(path.begin(), path.end(), buffer);
        buffer[path.size()] = 0;
        return static_cast<DWORD>(path.size());
    }
    if (M().unterminatedPaths) {
        std::copy(path.begin(), path.begin() + size, buffer);
    } else {
        std::copy(path.begin(), path.begin() + (size - 1), buffer);
        buffer[size - 1] = 0;
    }
    M().lastError = ERROR_INSUFFICIENT_BUFFER;
    return size;
}

} // namespace

namespace simwin {

SimProcess *FindProcess(DWORD id)
{
    auto it = M().processIndex.find(id);
    return it == M().processIndex.end() ? nullptr : &M().processes[it->second];
}

std::string CallerAccount()
{
    const SimProcess *caller = FindProcess(M().currentId);
    return caller != nullptr ? caller->account : std::string("user");
}

void ProcessReleased(DWORD id)
{
    SimProcess *p = FindProcess(id);
    if (p == nullptr || p->successorPath.empty() || M().pathsRead.count(id) == 0)
        return;
    for (const auto &other : M().handles)
        if (other.second.kind == Kind::Process && other.second.processId == id)
            return;
    /* It ended, and Windows handed its identifier to a new process. */
    p->path = p->successorPath;
    p->successorPath.clear();
}

} // namespace simwin

/* ---- controls ---- */

void SimSetSession(DWORD session)
{
    M().session = session;
}

void SimHoldMutex(DWORD session, const WCHAR *name)
{
    M().mutexHolders[{session, name}]++;
}

int SimMutexHolders(DWORD session, const WCHAR *name)
{
    auto it = M().mutexHolders.find({session, name});
    return it == M().mutexHolders.end() ? 0 : it->second;
}

void SimAddProcess(const SimProcess &process)
{
    M().processIndex[process.id] = M().processes.size();
    M().processes.push_back(process);
}

void SimClearProcesses(void)
{
    M().processes.clear();
    M().processIndex.clear();
}

void SimSetCurrentProcess(DWORD id)
{
    M().currentId = id;
}

void SimSetEnumBytes(DWORD bytes)
{
    M().enumBytesSet = true;
    M().enumBytes = bytes;
}

void SimSetUnterminatedPaths(bool on)
{
    M().unterminatedPaths = on;
}

const std::vector<std::pair<DWORD, UINT>> &SimTerminated(void)
{
    return M().terminated;
}

const std::vector<std::u16string> &SimTerminatedPaths(void)
{
    return M().terminatedPaths;
}

/* ---- kernel32 ---- */

HANDLE CreateMutexW(void *attributes, BOOL initialOwner, const WCHAR *name)
{
    Record("CreateMutexW(%s,%s,%s)", attributes ? "attributes" : "NULL",
           initialOwner ? "TRUE" : "FALSE", simwin::Utf8OfName(name).c_str());
    if (Faulted("CreateMutexW"))
        return nullptr;
    simwin::Machine &m = M();
    Handle h = {};
    h.kind = Kind::Mutex;
    h.mutex = {m.session, name != nullptr ? std::u16string(name) : std::u16string()};
    int &holders = m.mutexHolders[h.mutex];
    m.lastError = holders > 0 ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS;
    holders++;
    return simwin::NewHandle(h);
}

DWORD GetModuleFileNameW(HMODULE module, WCHAR *buffer, DWORD size)
{
    Record("GetModuleFileNameW(%s,%u)", module ? "module" : "NULL", size);
    if (Faulted("GetModuleFileNameW")) {
        Scribble(buffer, size);
        return 0;
    }
    const SimProcess *self = FindProcess(M().currentId);
    return CopyPath(self != nullptr ? self->path : std::u16string(), buffer, size);
}

DWORD GetCurrentProcessId(void)
{
    Record("GetCurrentProcessId()");
    return M().currentId;
}

HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD processId)
{
    Record("OpenProcess(0x%x,%s,%u)", access, inherit ? "TRUE" : "FALSE", processId);
    if (Faulted("OpenProcess"))
        return nullptr;
    const SimProcess *p = FindProcess(processId);
    if (p == nullptr || p->goneBeforeOpen) {
        M().lastError = ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    const SimProcess *caller = FindProcess(M().currentId);
    const bool ownAccount = caller == nullptr || caller->account == "SYSTEM" ||
                            caller->account == p->account;
    if ((access & ~p->grants) != 0 || !ownAccount) {
        M().lastError = ERROR_ACCESS_DENIED;
        return nullptr;
    }
    Handle h = {};
    h.kind = Kind::Process;
    h.processId = processId;
    h.access = access;
    return simwin::NewHandle(h);
}

DWORD GetProcessId(HANDLE process)
{
    const Handle *h = FindHandle(process);
    Record("GetProcessId(%u)", h != nullptr ? h->processId : 0);
    if (Faulted("GetProcessId"))
        return 0;
    h = simwin::HandleOf(process, Kind::Process);
    return h != nullptr ? h->processId : 0;
}

BOOL TerminateProcess(HANDLE process, UINT exitCode)
{
    const Handle *h = FindHandle(process);
    Record("TerminateProcess(%u,%u)", h != nullptr ? h->processId : 0, exitCode);
    if (Faulted("TerminateProcess"))
        return FALSE;
    h = ProcessHandle(process, PROCESS_TERMINATE);
    if (h == nullptr)
        return FALSE;
    SimProcess *p = FindProcess(h->processId);
    if (p == nullptr || p->goneBeforeOpen) {
        M().lastError = ERROR_ACCESS_DENIED; /* what Windows says of an ended process */
        return FALSE;
    }
    if (p->terminateError != 0) {
        M().lastError = p->terminateError;
        return FALSE;
    }
    M().terminated.push_back({p->id, exitCode});
    M().terminatedPaths.push_back(p->path);
    p->goneBeforeOpen = true;
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds)
{
    const Handle *h = FindHandle(handle);
    Record("WaitForSingleObject(%u,%u)", h != nullptr ? h->processId : 0, milliseconds);
    if (Faulted("WaitForSingleObject"))
        return WAIT_FAILED;
    h = ProcessHandle(handle, SYNCHRONIZE);
    if (h == nullptr)
        return WAIT_FAILED;
    /* A process ends with its termination, or has ended before it. */
    const SimProcess *p = FindProcess(h->processId);
    return p == nullptr || (p->goneBeforeOpen && !p->endsLate) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

/* ---- psapi ---- */

BOOL EnumProcesses(DWORD *ids, DWORD bytes, DWORD *bytesReturned)
{
    Record("EnumProcesses(%u)", bytes);
    if (Faulted("EnumProcesses"))
        return FALSE;
    const simwin::Machine &m = M();
    const size_t count = std::min<size_t>(m.processes.size(), bytes / sizeof(DWORD));
    for (size_t i = 0; i < count; i++)
        ids[i] = m.processes[i].id;
    const DWORD listed = static_cast<DWORD>(count * sizeof(DWORD));
    *bytesReturned = m.enumBytesSet ? std::min<DWORD>(m.enumBytes, listed) : listed;
    return TRUE;
}

BOOL EnumProcessModules(HANDLE process, HMODULE *modules, DWORD bytes, DWORD *bytesNeeded)
{
    const Handle *h = FindHandle(process);
    Record("EnumProcessModules(%u,%u)", h != nullptr ? h->processId : 0, bytes);
    if (Faulted("EnumProcessModules"))
        return FALSE;
    h = ProcessHandle(process, PROCESS_QUERY_INFORMATION | PROCESS_VM_READ);
    if (h == nullptr)
        return FALSE;
    const SimProcess *p = FindProcess(h->processId);
    if (p == nullptr || p->modulesFail) {
        M().lastError = ERROR_PARTIAL_COPY;
        return FALSE;
    }
    /* The executable's module first, then one library. */
    const HMODULE listed[2] = {reinterpret_cast<HMODULE>(simwin::kExeModule),
                               reinterpret_cast<HMODULE>(simwin::kKernel32)};
    for (DWORD i = 0; i < 2 && (i + 1) * sizeof(HMODULE) <= bytes; i++)
        modules[i] = listed[i];
    *bytesNeeded = static_cast<DWORD>(sizeof listed);
    return TRUE;
}

DWORD GetModuleFileNameExW(HANDLE process, HMODULE module, WCHAR *buffer, DWORD size)
{
    const Handle *h = FindHandle(process);
    Record("GetModuleFileNameExW(%u,%s,%u)", h != nullptr ? h->processId : 0,
           module == reinterpret_cast<HMODULE>(simwin::kExeModule) ? "exe" : "other", size);
    if (Faulted("GetModuleFileNameExW")) {
        Scribble(buffer, size);
        return 0;
    }
    h = ProcessHandle(process, PROCESS_QUERY_INFORMATION | PROCESS_VM_READ);
    const SimProcess *p = h != nullptr ? FindProcess(h->processId) : nullptr;
    if (p == nullptr || p->pathFails) {
        if (h != nullptr)
            M().lastError = ERROR_PARTIAL_COPY;
        Scribble(buffer, size);
        return 0;
    }
    M().pathsRead.insert(p->id);
    return CopyPath(p->path, buffer, size);
}
