/*
 * The simulated Windows. See platform/simwin.h.
 *
 * Each operation does what nosaver relies on Windows to do, including the
 * awkward parts: a path read that fills its buffer, a conversion buffer
 * that is too small, a process that is gone when it is opened. A failing
 * call scribbles over the buffer it was given, so that code which uses
 * such a buffer anyway shows up in the tests.
 */
#include "platform/simwin.h"

#include <iconv.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <set>
#include <unordered_map>

namespace {

struct FaultRule {
    std::string operation;
    DWORD error;
    int nth; /* 0: every call */
};

struct Handle {
    bool isMutex;
    std::pair<DWORD, std::u16string> mutex; /* session, name */
    DWORD processId;
    DWORD access;
};

struct Machine {
    std::vector<std::string> calls;
    std::vector<FaultRule> faults;
    std::map<std::string, int> callCounts;
    DWORD lastError = 0;
    DWORD session = 1;
    std::map<std::pair<DWORD, std::u16string>, int> mutexHolders;
    std::unordered_map<uintptr_t, Handle> handles;
    uintptr_t nextHandle = 0x100;
    POINT cursor = {0, 0};
    std::vector<POINT> cursorPath;
    size_t cursorReads = 0;
    int passesLeft = 0;
    std::vector<std::u16string> debugOutput;
    UINT codePage = 1252;
    std::set<void *> heapBlocks;
    int heapAllocations = 0;
    std::vector<SimProcess> processes;
    std::unordered_map<DWORD, size_t> processIndex;
    DWORD currentId = 0;
    bool enumBytesSet = false;
    DWORD enumBytes = 0;
    bool unterminatedPaths = false;
    std::vector<std::pair<DWORD, UINT>> terminated;
    std::vector<std::u16string> terminatedPaths;
    std::set<DWORD> pathsRead;
};

Machine *g_machine;

Machine &M()
{
    if (g_machine == nullptr)
        SimReset();
    return *g_machine;
}

void Record(const char *format, ...) __attribute__((format(printf, 1, 2)));
void Record(const char *format, ...)
{
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    M().calls.push_back(text);
}

/* Counts the call and tells whether a fault rule makes it fail; if so the
   rule's last error is set. */
bool Faulted(const char *operation)
{
    Machine &m = M();
    int count = ++m.callCounts[operation];
    for (const FaultRule &rule : m.faults) {
        if (rule.operation == operation && (rule.nth == 0 || rule.nth == count)) {
            m.lastError = rule.error;
            return true;
        }
    }
    return false;
}

SimProcess *FindProcess(DWORD id)
{
    auto it = M().processIndex.find(id);
    return it == M().processIndex.end() ? nullptr : &M().processes[it->second];
}

HANDLE NewHandle(const Handle &h)
{
    Machine &m = M();
    uintptr_t value = m.nextHandle;
    m.nextHandle += 4;
    m.handles[value] = h;
    return reinterpret_cast<HANDLE>(value);
}

Handle *FindHandle(HANDLE h)
{
    auto it = M().handles.find(reinterpret_cast<uintptr_t>(h));
    return it == M().handles.end() ? nullptr : &it->second;
}

/* A process handle with all of the given rights, or null with error set. */
Handle *ProcessHandle(HANDLE h, DWORD rights)
{
    Handle *handle = FindHandle(h);
    if (handle == nullptr || handle->isMutex) {
        M().lastError = 6; /* ERROR_INVALID_HANDLE */
        return nullptr;
    }
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
        return (DWORD)path.size();
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

/* One conversion of a short byte sequence with iconv; false if the bytes
   are not a complete valid character of the code set. */
bool IconvOne(const char *from, const char *to, const char *in, size_t inBytes, std::string &out)
{
    /* One descriptor per direction, opened once (opening one per
       character made long texts slow) and closed at exit. */
    static struct Descriptors {
        std::map<std::pair<std::string, std::string>, iconv_t> open;
        ~Descriptors()
        {
            for (auto &d : open)
                iconv_close(d.second);
        }
    } descriptors;
    iconv_t &cd = descriptors.open[{from, to}];
    if (cd == nullptr) {
        cd = iconv_open(to, from);
        if (cd == (iconv_t)-1)
            abort();
    }
    iconv(cd, nullptr, nullptr, nullptr, nullptr); /* back to the initial state */
    char buffer[16];
    char *src = const_cast<char *>(in);
    char *dst = buffer;
    size_t left = sizeof buffer;
    size_t r = iconv(cd, &src, &inBytes, &dst, &left);
    if (r == (size_t)-1 || inBytes != 0)
        return false;
    out.assign(buffer, sizeof buffer - left);
    return true;
}

const char *CodeSet(UINT codePage)
{
    switch (codePage) {
    case 1252:
        return "CP1252";
    case 936:
        return "CP936";
    default:
        return nullptr;
    }
}

UINT ResolveCodePage(UINT codePage)
{
    return codePage == CP_ACP || codePage == CP_THREAD_ACP ? M().codePage : codePage;
}

/* Decodes bytes as MultiByteToWideChar does without flags: characters
   the code page does not define are replaced, not rejected. In 1252 an
   undefined byte stands for the control character of the same value. */
std::u16string Decode(UINT codePage, const unsigned char *text, size_t bytes)
{
    const char *codeSet = CodeSet(codePage);
    std::u16string out;
    std::string unit;
    size_t i = 0;
    while (i < bytes) {
        if (text[i] < 0x80) {
            out += (char16_t)text[i++];
            continue;
        }
        size_t width = 0;
        if (IconvOne(codeSet, "UTF-16LE", (const char *)text + i, 1, unit))
            width = 1;
        else if (codePage == 936 && i + 1 < bytes &&
                 IconvOne(codeSet, "UTF-16LE", (const char *)text + i, 2, unit))
            width = 2;
        if (width == 0) {
            out += codePage == 1252 ? (char16_t)text[i] : u'?';
            i++;
            continue;
        }
        for (size_t k = 0; k + 1 < unit.size(); k += 2)
            out += (char16_t)((unsigned char)unit[k] | ((unsigned char)unit[k + 1] << 8));
        i += width;
    }
    return out;
}

/* Encodes UTF-16 in a code page; a character it cannot hold, or an
   unpaired surrogate, becomes the default character. */
std::string Encode(UINT codePage, const std::u16string &text, char defaultChar, bool *usedDefault)
{
    const char *codeSet = CodeSet(codePage);
    std::string out;
    std::string bytes;
    for (size_t i = 0; i < text.size(); i++) {
        char16_t u = text[i];
        if (u < 0x80) {
            out += (char)u;
            continue;
        }
        char in[4] = {(char)(u & 0xFF), (char)(u >> 8), 0, 0};
        size_t inBytes = 2;
        if (u >= 0xD800 && u < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] < 0xE000) {
            in[2] = (char)(text[i + 1] & 0xFF);
            in[3] = (char)(text[i + 1] >> 8);
            inBytes = 4;
            i++;
        }
        if (u >= 0xD800 && u < 0xE000 && inBytes == 2) {
            out += defaultChar;
            *usedDefault = true;
        } else if (IconvOne("UTF-16LE", codeSet, in, inBytes, bytes)) {
            out += bytes;
        } else {
            out += defaultChar;
            *usedDefault = true;
        }
    }
    return out;
}

std::string Utf8OfName(const WCHAR *name)
{
    return name == nullptr ? std::string("NULL") : SimUtf8(name);
}

} // namespace

/* ---- controls ---- */

void SimReset(void)
{
    delete g_machine;
    g_machine = new Machine();
    SimProcess self;
    self.id = 100;
    self.path = u"C:\\Tools\\nosaver.exe";
    SimAddProcess(self);
    g_machine->currentId = 100;
}

const std::vector<std::string> &SimCalls(void)
{
    return M().calls;
}

std::vector<std::string> SimCallsOf(const std::vector<std::string> &prefixes)
{
    std::vector<std::string> out;
    for (const std::string &call : M().calls)
        for (const std::string &prefix : prefixes)
            if (call.compare(0, prefix.size(), prefix) == 0) {
                out.push_back(call);
                break;
            }
    return out;
}

void SimFail(const char *operation, DWORD error, int nth)
{
    Machine &m = M();
    int base = m.callCounts[operation];
    m.faults.push_back({operation, error, nth == 0 ? 0 : base + nth});
}

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

void SimSetCursor(LONG x, LONG y)
{
    M().cursor = {x, y};
}

void SimSetCursorPath(const std::vector<POINT> &path)
{
    M().cursorPath = path;
}

void SimEndLoopAfter(int passes)
{
    M().passesLeft = passes;
}

const std::vector<std::u16string> &SimDebugOutput(void)
{
    return M().debugOutput;
}

std::vector<std::string> SimDebugOutputUtf8(void)
{
    std::vector<std::string> out;
    for (const std::u16string &text : M().debugOutput)
        out.push_back(SimUtf8(text));
    return out;
}

void SimSetCodePage(UINT codePage)
{
    M().codePage = codePage;
}

SimHeapStats SimHeap(void)
{
    return {M().heapAllocations, (int)M().heapBlocks.size()};
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

int SimOpenHandles(void)
{
    return (int)M().handles.size();
}

std::string SimUtf8(const std::u16string &text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); i++) {
        uint32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            i++;
        } else if (c >= 0xD800 && c < 0xE000) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out += (char)c;
        } else if (c < 0x800) {
            out += (char)(0xC0 | (c >> 6));
            out += (char)(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += (char)(0xE0 | (c >> 12));
            out += (char)(0x80 | ((c >> 6) & 0x3F));
            out += (char)(0x80 | (c & 0x3F));
        } else {
            out += (char)(0xF0 | (c >> 18));
            out += (char)(0x80 | ((c >> 12) & 0x3F));
            out += (char)(0x80 | ((c >> 6) & 0x3F));
            out += (char)(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::u16string SimUtf16(const std::string &utf8)
{
    std::u16string out;
    for (size_t i = 0; i < utf8.size();) {
        unsigned char b = (unsigned char)utf8[i];
        uint32_t c;
        int extra;
        if (b < 0x80) {
            c = b;
            extra = 0;
        } else if (b < 0xE0) {
            c = b & 0x1F;
            extra = 1;
        } else if (b < 0xF0) {
            c = b & 0x0F;
            extra = 2;
        } else {
            c = b & 0x07;
            extra = 3;
        }
        i++;
        for (int k = 0; k < extra && i < utf8.size(); k++, i++)
            c = (c << 6) | ((unsigned char)utf8[i] & 0x3F);
        if (c >= 0x10000) {
            out += (char16_t)(0xD800 + ((c - 0x10000) >> 10));
            out += (char16_t)(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            out += (char16_t)c;
        }
    }
    return out;
}

std::u16string SimDecodeAnsi(UINT codePage, const std::string &bytes)
{
    if (CodeSet(codePage) == nullptr)
        abort();
    return Decode(codePage, (const unsigned char *)bytes.data(), bytes.size());
}

std::string SimEncodeAnsi(UINT codePage, const std::u16string &text)
{
    if (CodeSet(codePage) == nullptr)
        abort();
    bool used = false;
    return Encode(codePage, text, '?', &used);
}

/* ---- kernel32 ---- */

HANDLE CreateMutexW(void *attributes, BOOL initialOwner, const WCHAR *name)
{
    Record("CreateMutexW(%s,%s,%s)", attributes ? "attributes" : "NULL",
           initialOwner ? "TRUE" : "FALSE", Utf8OfName(name).c_str());
    if (Faulted("CreateMutexW"))
        return NULL;
    Machine &m = M();
    Handle h = {};
    h.isMutex = true;
    h.mutex = {m.session, name != nullptr ? std::u16string(name) : std::u16string()};
    int &holders = m.mutexHolders[h.mutex];
    m.lastError = holders > 0 ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS;
    holders++;
    return NewHandle(h);
}

DWORD GetLastError(void)
{
    Record("GetLastError()=%u", M().lastError);
    return M().lastError;
}

void SetLastError(DWORD error)
{
    M().lastError = error;
}

BOOL CloseHandle(HANDLE handle)
{
    Handle *h = FindHandle(handle);
    if (h == nullptr) {
        Record("CloseHandle(invalid)");
        M().lastError = 6; /* ERROR_INVALID_HANDLE */
        return FALSE;
    }
    if (h->isMutex) {
        Record("CloseHandle(mutex)");
        if (--M().mutexHolders[h->mutex] == 0)
            M().mutexHolders.erase(h->mutex);
    } else {
        Record("CloseHandle(process %u)", h->processId);
    }
    DWORD id = h->isMutex ? 0 : h->processId;
    M().handles.erase(reinterpret_cast<uintptr_t>(handle));
    SimProcess *p = id != 0 ? FindProcess(id) : nullptr;
    if (p != nullptr && !p->successorPath.empty() && M().pathsRead.count(id) != 0) {
        bool referenced = false;
        for (const auto &other : M().handles)
            referenced = referenced || (!other.second.isMutex && other.second.processId == id);
        if (!referenced) {
            /* It ended, and Windows handed its identifier to a new process. */
            p->path = p->successorPath;
            p->successorPath.clear();
        }
    }
    return TRUE;
}

void Sleep(DWORD milliseconds)
{
    Record("Sleep(%u)", milliseconds);
    if (M().passesLeft-- <= 0)
        throw SimLoopEnd();
}

DWORD GetModuleFileNameW(HMODULE module, WCHAR *buffer, DWORD size)
{
    Record("GetModuleFileNameW(%s,%u)", module ? "module" : "NULL", size);
    if (Faulted("GetModuleFileNameW")) {
        Scribble(buffer, size);
        return 0;
    }
    SimProcess *self = FindProcess(M().currentId);
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
        return NULL;
    SimProcess *p = FindProcess(processId);
    if (p == nullptr || p->goneBeforeOpen) {
        M().lastError = ERROR_INVALID_PARAMETER;
        return NULL;
    }
    const SimProcess *caller = FindProcess(M().currentId);
    const bool ownAccount = caller == nullptr || caller->account == "SYSTEM" ||
                            caller->account == p->account;
    if ((access & ~p->grants) != 0 || !ownAccount) {
        M().lastError = ERROR_ACCESS_DENIED;
        return NULL;
    }
    Handle h = {};
    h.processId = processId;
    h.access = access;
    return NewHandle(h);
}

DWORD GetProcessId(HANDLE process)
{
    Handle *h = FindHandle(process);
    Record("GetProcessId(%u)", h != nullptr ? h->processId : 0);
    if (Faulted("GetProcessId"))
        return 0;
    if (h == nullptr || h->isMutex) {
        M().lastError = 6;
        return 0;
    }
    return h->processId;
}

BOOL TerminateProcess(HANDLE process, UINT exitCode)
{
    Handle *h = FindHandle(process);
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
    Handle *h = FindHandle(handle);
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

int MultiByteToWideChar(UINT codePage, DWORD flags, const char *text, int bytes, WCHAR *out,
                        int units)
{
    Record("MultiByteToWideChar(%u,%u,%d,%d)", codePage, flags, bytes, units);
    if (Faulted("MultiByteToWideChar"))
        return 0;
    UINT cp = ResolveCodePage(codePage);
    if (CodeSet(cp) == nullptr || text == nullptr || bytes == 0 || units < 0 ||
        (units > 0 && out == nullptr)) {
        M().lastError = ERROR_INVALID_PARAMETER;
        return 0;
    }
    size_t length = bytes < 0 ? strlen(text) + 1 : (size_t)bytes;
    std::u16string wide = Decode(cp, (const unsigned char *)text, length);
    if (units == 0)
        return (int)wide.size();
    if (wide.size() > (size_t)units) {
        std::copy(wide.begin(), wide.begin() + units, out);
        M().lastError = ERROR_INSUFFICIENT_BUFFER;
        return 0;
    }
    std::copy(wide.begin(), wide.end(), out);
    return (int)wide.size();
}

int WideCharToMultiByte(UINT codePage, DWORD flags, const WCHAR *text, int units, char *out,
                        int bytes, const char *defaultChar, BOOL *usedDefault)
{
    Record("WideCharToMultiByte(%u,0x%x,%d,%d)", codePage, flags, units, bytes);
    if (Faulted("WideCharToMultiByte"))
        return 0;
    UINT cp = ResolveCodePage(codePage);
    if (CodeSet(cp) == nullptr || text == nullptr || units == 0 || bytes < 0 ||
        (bytes > 0 && out == nullptr)) {
        M().lastError = ERROR_INVALID_PARAMETER;
        return 0;
    }
    size_t length = 0;
    if (units < 0) {
        while (text[length] != 0)
            length++;
        length++;
    } else {
        length = (size_t)units;
    }
    bool used = false;
    std::string narrow = Encode(cp, std::u16string(text, length),
                                defaultChar != nullptr ? *defaultChar : '?', &used);
    if (usedDefault != nullptr)
        *usedDefault = used;
    if (bytes == 0)
        return (int)narrow.size();
    if (narrow.size() > (size_t)bytes) {
        memcpy(out, narrow.data(), (size_t)bytes);
        M().lastError = ERROR_INSUFFICIENT_BUFFER;
        return 0;
    }
    memcpy(out, narrow.data(), narrow.size());
    return (int)narrow.size();
}

void OutputDebugStringW(const WCHAR *text)
{
    Record("OutputDebugStringW");
    M().debugOutput.push_back(text);
}

BOOL IsDBCSLeadByte(BYTE byte)
{
    Record("IsDBCSLeadByte(0x%02x)", byte);
    /* The lead bytes of GBK; code page 1252 has none. */
    return M().codePage == 936 && byte >= 0x81 && byte <= 0xFE;
}

HANDLE GetProcessHeap(void)
{
    return reinterpret_cast<HANDLE>((uintptr_t)0x7000);
}

void *HeapAlloc(HANDLE heap, DWORD flags, size_t bytes)
{
    (void)heap;
    (void)flags;
    Record("HeapAlloc(%zu)", bytes);
    if (Faulted("HeapAlloc"))
        return nullptr;
    void *block = malloc(bytes == 0 ? 1 : bytes);
    memset(block, 0xCD, bytes);
    M().heapBlocks.insert(block);
    M().heapAllocations++;
    return block;
}

BOOL HeapFree(HANDLE heap, DWORD flags, void *block)
{
    (void)heap;
    (void)flags;
    Record("HeapFree");
    if (M().heapBlocks.erase(block) != 1)
        abort(); /* a double free or a block that was never allocated */
    free(block);
    return TRUE;
}

/* ---- user32 ---- */

BOOL GetCursorPos(POINT *point)
{
    Record("GetCursorPos");
    Machine &m = M();
    if (m.cursorReads < m.cursorPath.size())
        m.cursor = m.cursorPath[m.cursorReads];
    m.cursorReads++;
    if (Faulted("GetCursorPos"))
        return FALSE;
    *point = M().cursor;
    return TRUE;
}

void mouse_event(DWORD flags, DWORD dx, DWORD dy, DWORD data, ULONG_PTR extraInfo)
{
    Record("mouse_event(0x%x,%d,%d,%u,%lu)", flags, (int)dx, (int)dy, data,
           (unsigned long)extraInfo);
}

/* ---- psapi ---- */

BOOL EnumProcesses(DWORD *ids, DWORD bytes, DWORD *bytesReturned)
{
    Record("EnumProcesses(%u)", bytes);
    if (Faulted("EnumProcesses"))
        return FALSE;
    Machine &m = M();
    size_t count = std::min<size_t>(m.processes.size(), bytes / sizeof(DWORD));
    for (size_t i = 0; i < count; i++)
        ids[i] = m.processes[i].id;
    *bytesReturned = m.enumBytesSet ? std::min<DWORD>(m.enumBytes, (DWORD)(count * sizeof(DWORD)))
                                    : (DWORD)(count * sizeof(DWORD));
    return TRUE;
}

BOOL EnumProcessModules(HANDLE process, HMODULE *modules, DWORD bytes, DWORD *bytesNeeded)
{
    Handle *h = FindHandle(process);
    Record("EnumProcessModules(%u,%u)", h != nullptr ? h->processId : 0, bytes);
    if (Faulted("EnumProcessModules"))
        return FALSE;
    h = ProcessHandle(process, PROCESS_QUERY_INFORMATION | PROCESS_VM_READ);
    if (h == nullptr)
        return FALSE;
    SimProcess *p = FindProcess(h->processId);
    if (p == nullptr || p->modulesFail) {
        M().lastError = ERROR_PARTIAL_COPY;
        return FALSE;
    }
    /* The executable's module first, then one library. */
    HMODULE listed[2] = {reinterpret_cast<HMODULE>((uintptr_t)0x400000),
                         reinterpret_cast<HMODULE>((uintptr_t)0x7C800000)};
    for (DWORD i = 0; i < 2 && (i + 1) * sizeof(HMODULE) <= bytes; i++)
        modules[i] = listed[i];
    *bytesNeeded = (DWORD)sizeof listed;
    return TRUE;
}

DWORD GetModuleFileNameExW(HANDLE process, HMODULE module, WCHAR *buffer, DWORD size)
{
    Handle *h = FindHandle(process);
    Record("GetModuleFileNameExW(%u,%s,%u)", h != nullptr ? h->processId : 0,
           module == reinterpret_cast<HMODULE>((uintptr_t)0x400000) ? "exe" : "other", size);
    if (Faulted("GetModuleFileNameExW")) {
        Scribble(buffer, size);
        return 0;
    }
    h = ProcessHandle(process, PROCESS_QUERY_INFORMATION | PROCESS_VM_READ);
    SimProcess *p = h != nullptr ? FindProcess(h->processId) : nullptr;
    if (p == nullptr || p->pathFails) {
        if (h != nullptr)
            M().lastError = ERROR_PARTIAL_COPY;
        Scribble(buffer, size);
        return 0;
    }
    M().pathsRead.insert(p->id);
    return CopyPath(p->path, buffer, size);
}

/* ---- msvcrt ---- */

int _vsnprintf(char *buffer, size_t count, const char *format, va_list args)
{
    va_list again;
    va_copy(again, args);
    int length = vsnprintf(nullptr, 0, format, args);
    std::string text(length > 0 ? (size_t)length + 1 : 1, '\0');
    if (length >= 0)
        vsnprintf(&text[0], text.size(), format, again);
    va_end(again);
    if (length < 0 || Faulted("_vsnprintf")) {
        /* A failed conversion leaves what was written before it. */
        size_t partial = std::min<size_t>(count, 3);
        memcpy(buffer, "err", partial);
        return -1;
    }
    size_t stored = std::min<size_t>((size_t)length, count);
    memcpy(buffer, text.data(), stored);
    if ((size_t)length < count)
        buffer[length] = '\0';
    return (size_t)length <= count ? length : -1;
}
