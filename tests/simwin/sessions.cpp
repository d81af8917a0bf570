/*
 * The simulated Windows: the terminal-services sessions and who is logged
 * on in each; the session a process runs in (ProcessIdToSessionId); and
 * starting a program as a session's user: wtsapi32's WTSQueryUserToken,
 * userenv's environment blocks and advapi32's CreateProcessAsUserW.
 */
#include "simwin/machine.h"

using simwin::Faulted;
using simwin::Handle;
using simwin::Kind;
using simwin::M;
using simwin::Record;
using simwin::Utf8OfName;

/* ---- controls ---- */

void SimLogOn(DWORD session, const std::string &account)
{
    if (account.empty())
        M().users.erase(session);
    else
        M().users[session] = account;
}

/* ---- kernel32 ---- */

BOOL ProcessIdToSessionId(DWORD processId, DWORD *sessionId)
{
    Record("ProcessIdToSessionId(%u)", processId);
    if (Faulted("ProcessIdToSessionId"))
        return FALSE;
    const SimProcess *p = simwin::FindProcess(processId);
    if (p == nullptr) {
        M().lastError = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    *sessionId = p->session;
    return TRUE;
}

/* ---- wtsapi32 ---- */

BOOL WTSQueryUserToken(DWORD sessionId, HANDLE *token)
{
    Record("WTSQueryUserToken(%u)", sessionId);
    if (Faulted("WTSQueryUserToken"))
        return FALSE;
    if (simwin::CallerAccount() != "SYSTEM") {
        M().lastError = ERROR_PRIVILEGE_NOT_HELD;
        return FALSE;
    }
    auto user = M().users.find(sessionId);
    if (user == M().users.end()) {
        M().lastError = ERROR_NO_TOKEN;
        return FALSE;
    }
    Handle h = {};
    h.kind = Kind::Token;
    h.account = user->second;
    h.session = sessionId;
    *token = simwin::NewHandle(h);
    return TRUE;
}

/* ---- userenv ---- */

BOOL CreateEnvironmentBlock(void **environment, HANDLE token, BOOL inherit)
{
    Record("CreateEnvironmentBlock(%s)", inherit ? "TRUE" : "FALSE");
    if (Faulted("CreateEnvironmentBlock"))
        return FALSE;
    const Handle *t = simwin::HandleOf(token, Kind::Token);
    if (t == nullptr)
        return FALSE;
    Handle h = {};
    h.kind = Kind::Environment;
    h.account = t->account;
    *environment = simwin::NewHandle(h);
    return TRUE;
}

BOOL DestroyEnvironmentBlock(void *environment)
{
    Record("DestroyEnvironmentBlock");
    if (simwin::HandleOf(environment, Kind::Environment) == nullptr)
        return FALSE;
    M().handles.erase(reinterpret_cast<uintptr_t>(environment));
    return TRUE;
}

/* ---- advapi32 ---- */

BOOL CreateProcessAsUserW(HANDLE token, const WCHAR *application, WCHAR *commandLine,
                          void *processAttributes, void *threadAttributes, BOOL inherit,
                          DWORD flags, void *environment, const WCHAR *directory,
                          STARTUPINFOW *startup, PROCESS_INFORMATION *information)
{
    (void)processAttributes;
    (void)threadAttributes;
    const Handle *t = simwin::FindHandle(token);
    const Handle *e = environment != nullptr ? simwin::FindHandle(environment) : nullptr;
    Record("CreateProcessAsUserW(%s,%u,%s,%s,%s,%s,0x%x,%s,%s)",
           t != nullptr && t->kind == Kind::Token ? t->account.c_str() : "invalid",
           t != nullptr ? t->session : 0, Utf8OfName(application).c_str(),
           Utf8OfName(commandLine).c_str(), inherit ? "TRUE" : "FALSE",
           startup != nullptr ? Utf8OfName(startup->lpDesktop).c_str() : "NULL", flags,
           e == nullptr ? "NULL" : e->kind == Kind::Environment ? e->account.c_str() : "invalid",
           Utf8OfName(directory).c_str());
    if (Faulted("CreateProcessAsUserW"))
        return FALSE;
    t = simwin::HandleOf(token, Kind::Token);
    if (t == nullptr || startup == nullptr || startup->cb != sizeof(STARTUPINFOW))
        return FALSE;
    if (simwin::LookUpFile(application, t->account) < 0)
        return FALSE;
    SimProcess started;
    started.id = M().nextProcessId++;
    started.path = application;
    started.account = t->account;
    started.session = t->session;
    SimAddProcess(started);
    Handle process = {};
    process.kind = Kind::Process;
    process.processId = started.id;
    process.access = PROCESS_ALL_ACCESS;
    Handle thread = {};
    thread.kind = Kind::Thread;
    information->hProcess = simwin::NewHandle(process);
    information->hThread = simwin::NewHandle(thread);
    information->dwProcessId = started.id;
    information->dwThreadId = started.id + 1;
    return TRUE;
}
