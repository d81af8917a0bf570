/*
 * The simulated Windows. See platform/simwin.h.
 *
 * Each operation does what nosaver relies on Windows to do, including the
 * awkward parts: a path read that fills its buffer, a conversion buffer
 * that is too small, a process that is gone when it is opened. A failing
 * call scribbles over the buffer it was given, so that code which uses
 * such a buffer anyway shows up in the tests.
 */
#include "simwin/simwin.h"

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

enum class Kind { Process, Mutex, File, Token, Thread, Environment, Key };

struct Handle {
    Kind kind;
    std::pair<DWORD, std::u16string> mutex; /* session, name */
    DWORD processId;
    DWORD access;
    size_t file;         /* a file: its index in Machine::files */
    std::string account; /* a token: its user, and its session */
    DWORD session;
    std::u16string key; /* a registry key under HKEY_LOCAL_MACHINE */
};

/* A path by which a file can be opened, and the file it leads to. */
struct SimFile {
    std::u16string path;
    DWORD volume;
    DWORD index;
    std::string onlyFor;
    uint64_t id128High;
    std::u16string linkTo; /* a link: the path it leads to */
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
    std::vector<SimFile> files;
    std::map<DWORD, std::string> users; /* session: who is logged on there */
    bool compareStringOrdinal = true;
    bool fileIdInfo = true;
    /* Windows Installer: the installation's properties, the open records
       (their field 0) and the messages it was sent. */
    std::map<std::u16string, std::u16string> installProperties;
    std::map<MSIHANDLE, std::u16string> records;
    MSIHANDLE nextRecord = 0x5000;
    std::vector<std::pair<int, std::u16string>> installLog;
    DWORD nextProcessId = 5000;
    /* HKEY_LOCAL_MACHINE: key: value name: (type, bytes) */
    std::map<std::u16string, std::map<std::u16string, std::pair<DWORD, std::string>>> registry;
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
    if (handle == nullptr || handle->kind != Kind::Process) {
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


/* The case mapping of the file systems, for the letters the tests use:
   ASCII, Latin-1 and the pairs of Latin Extended-A that it starts with. */
char16_t Upper(char16_t c)
{
    if ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7))
        return static_cast<char16_t>(c - 0x20);
    if (c == 0xFF)
        return 0x178;
    if (c >= 0x100 && c <= 0x137 && (c & 1) != 0)
        return static_cast<char16_t>(c - 1);
    return c;
}

bool SameLetters(const std::u16string &a, const std::u16string &b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); i++)
        if (Upper(a[i]) != Upper(b[i]))
            return false;
    return true;
}

std::string CallerAccount()
{
    const SimProcess *caller = FindProcess(M().currentId);
    return caller != nullptr ? caller->account : std::string("user");
}

/* The file that a path opens for the account, as an index into the table
   of files, or -1 with the last error set. Without the \\?\ prefix a path
   must be shorter than MAX_PATH. */
long LookUpFile(const WCHAR *name, const std::string &account, bool followLinks = true)
{
    std::u16string path = name != nullptr ? name : u"";
    if (path.compare(0, 8, u"\\\\?\\UNC\\") == 0)
        path = u"\\\\" + path.substr(8);
    else if (path.compare(0, 4, u"\\\\?\\") == 0)
        path = path.substr(4);
    else if (path.size() >= MAX_PATH) {
        M().lastError = ERROR_PATH_NOT_FOUND;
        return -1;
    }
    const std::vector<SimFile> &files = M().files;
    for (size_t i = 0; i < files.size(); i++) {
        if (!SameLetters(files[i].path, path))
            continue;
        if (!files[i].onlyFor.empty() && files[i].onlyFor != account) {
            M().lastError = ERROR_PATH_NOT_FOUND; /* a drive letter only its user has */
            return -1;
        }
        if (followLinks && !files[i].linkTo.empty()) {
            const std::u16string target = files[i].linkTo;
            return LookUpFile(target.c_str(), account);
        }
        return static_cast<long>(i);
    }
    M().lastError = ERROR_FILE_NOT_FOUND;
    return -1;
}

Handle *HandleOf(HANDLE h, Kind kind)
{
    Handle *handle = FindHandle(h);
    if (handle == nullptr || handle->kind != kind) {
        M().lastError = 6; /* ERROR_INVALID_HANDLE */
        return nullptr;
    }
    return handle;
}

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

int WINAPI SimCompareStringOrdinal(const WCHAR *a, int aUnits, const WCHAR *b, int bUnits,
                                   BOOL ignoreCase)
{
    Record("CompareStringOrdinal(%s,%s,%s)", SimUtf8(a).c_str(), SimUtf8(b).c_str(),
           ignoreCase ? "TRUE" : "FALSE");
    const std::u16string x = aUnits < 0 ? std::u16string(a) : std::u16string(a, aUnits);
    const std::u16string y = bUnits < 0 ? std::u16string(b) : std::u16string(b, bUnits);
    const bool same = ignoreCase ? SameLetters(x, y) : x == y;
    return same ? CSTR_EQUAL : (x < y ? 1 : 3);
}

/* Windows 8 and later; the only class nosaver asks for is FileIdInfo. */
BOOL WINAPI SimGetFileInformationByHandleEx(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind,
                                            void *info, DWORD bytes)
{
    Record("GetFileInformationByHandleEx(%d,%u)", static_cast<int>(kind), bytes);
    if (Faulted("GetFileInformationByHandleEx"))
        return FALSE;
    const Handle *h = HandleOf(file, Kind::File);
    if (h == nullptr)
        return FALSE;
    if (kind != FileIdInfo || bytes < sizeof(FILE_ID_INFO)) {
        M().lastError = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    const SimFile &f = M().files[h->file];
    auto *id = static_cast<FILE_ID_INFO *>(info);
    id->VolumeSerialNumber = f.volume;
    for (int i = 0; i < 8; i++) {
        id->FileId.Identifier[i] = static_cast<BYTE>(static_cast<uint64_t>(f.index) >> (8 * i));
        id->FileId.Identifier[8 + i] = static_cast<BYTE>(f.id128High >> (8 * i));
    }
    return TRUE;
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
    return (int)(M().handles.size() + M().records.size());
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

void SimAddFile(const std::u16string &path, DWORD volume, DWORD index, const std::string &onlyFor,
                uint64_t id128High)
{
    M().files.push_back({path, volume, index, onlyFor, id128High, u""});
}

void SimAddLink(const std::u16string &path, DWORD volume, DWORD index, const std::u16string &target)
{
    M().files.push_back({path, volume, index, "", 0, target});
}

void SimSetFileIdInfo(bool present)
{
    M().fileIdInfo = present;
}

void SimSetInstallProperty(const std::u16string &name, const std::u16string &value)
{
    M().installProperties[name] = value;
}

const std::vector<std::pair<int, std::u16string>> &SimInstallLog(void)
{
    return M().installLog;
}

void SimLogOn(DWORD session, const std::string &account)
{
    if (account.empty())
        M().users.erase(session);
    else
        M().users[session] = account;
}

void SimSetCompareStringOrdinal(bool present)
{
    M().compareStringOrdinal = present;
}

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

/* ---- kernel32 ---- */

HANDLE CreateMutexW(void *attributes, BOOL initialOwner, const WCHAR *name)
{
    Record("CreateMutexW(%s,%s,%s)", attributes ? "attributes" : "NULL",
           initialOwner ? "TRUE" : "FALSE", Utf8OfName(name).c_str());
    if (Faulted("CreateMutexW"))
        return NULL;
    Machine &m = M();
    Handle h = {};
    h.kind = Kind::Mutex;
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
    static const char *const kKinds[] = {"process", "mutex", "file", "token", "thread"};
    if (h->kind == Kind::Mutex) {
        Record("CloseHandle(mutex)");
        if (--M().mutexHolders[h->mutex] == 0)
            M().mutexHolders.erase(h->mutex);
    } else if (h->kind == Kind::Process) {
        Record("CloseHandle(process %u)", h->processId);
    } else if (h->kind == Kind::Environment || h->kind == Kind::Key) {
        Record("CloseHandle(invalid)");
        M().lastError = 6;
        return FALSE;
    } else {
        Record("CloseHandle(%s)", kKinds[static_cast<int>(h->kind)]);
    }
    DWORD id = h->kind == Kind::Process ? h->processId : 0;
    M().handles.erase(reinterpret_cast<uintptr_t>(handle));
    SimProcess *p = id != 0 ? FindProcess(id) : nullptr;
    if (p != nullptr && !p->successorPath.empty() && M().pathsRead.count(id) != 0) {
        bool referenced = false;
        for (const auto &other : M().handles)
            referenced = referenced ||
                         (other.second.kind == Kind::Process && other.second.processId == id);
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
    if (h == nullptr || h->kind != Kind::Process) {
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
    if ((CodeSet(cp) == nullptr && cp != CP_UTF8) || text == nullptr || bytes == 0 || units < 0 ||
        (units > 0 && out == nullptr)) {
        M().lastError = ERROR_INVALID_PARAMETER;
        return 0;
    }
    size_t length = bytes < 0 ? strlen(text) + 1 : (size_t)bytes;
    std::u16string wide = cp == CP_UTF8 ? SimUtf16(std::string(text, length))
                                        : Decode(cp, (const unsigned char *)text, length);
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
    if ((CodeSet(cp) == nullptr && cp != CP_UTF8) || text == nullptr || units == 0 || bytes < 0 ||
        (bytes > 0 && out == nullptr) || (cp == CP_UTF8 && (flags != 0 || defaultChar != nullptr))) {
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
    std::string narrow = cp == CP_UTF8
                             ? SimUtf8(std::u16string(text, length))
                             : Encode(cp, std::u16string(text, length),
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

/* ---- files, sessions, the registry ---- */

HANDLE CreateFileW(const WCHAR *name, DWORD access, DWORD share, void *security, DWORD disposition,
                   DWORD flags, HANDLE templateFile)
{
    (void)security;
    (void)templateFile;
    Record("CreateFileW(%s,0x%x,0x%x,%u,0x%x)", Utf8OfName(name).c_str(), access, share,
           disposition, flags);
    if (Faulted("CreateFileW"))
        return INVALID_HANDLE_VALUE;
    const long file =
        LookUpFile(name, CallerAccount(), (flags & FILE_FLAG_OPEN_REPARSE_POINT) == 0);
    if (file < 0)
        return INVALID_HANDLE_VALUE;
    Handle h = {};
    h.kind = Kind::File;
    h.file = static_cast<size_t>(file);
    return NewHandle(h);
}

BOOL GetFileInformationByHandle(HANDLE file, BY_HANDLE_FILE_INFORMATION *info)
{
    Record("GetFileInformationByHandle");
    if (Faulted("GetFileInformationByHandle"))
        return FALSE;
    const Handle *h = HandleOf(file, Kind::File);
    if (h == nullptr)
        return FALSE;
    *info = {};
    info->dwVolumeSerialNumber = M().files[h->file].volume;
    info->nFileIndexLow = M().files[h->file].index;
    info->nNumberOfLinks = 1;
    return TRUE;
}

BOOL ProcessIdToSessionId(DWORD processId, DWORD *sessionId)
{
    Record("ProcessIdToSessionId(%u)", processId);
    if (Faulted("ProcessIdToSessionId"))
        return FALSE;
    const SimProcess *p = FindProcess(processId);
    if (p == nullptr) {
        M().lastError = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    *sessionId = p->session;
    return TRUE;
}

HMODULE GetModuleHandleW(const WCHAR *name)
{
    Record("GetModuleHandleW(%s)", Utf8OfName(name).c_str());
    if (name == nullptr || !SameLetters(name, u"kernel32.dll")) {
        M().lastError = 126; /* ERROR_MOD_NOT_FOUND */
        return nullptr;
    }
    return reinterpret_cast<HMODULE>((uintptr_t)0x7C800000);
}

FARPROC GetProcAddress(HMODULE module, const char *name)
{
    Record("GetProcAddress(%s)", name);
    if (module == reinterpret_cast<HMODULE>((uintptr_t)0x7C800000) && M().compareStringOrdinal &&
        strcmp(name, "CompareStringOrdinal") == 0)
        return reinterpret_cast<FARPROC>(reinterpret_cast<void *>(&SimCompareStringOrdinal));
    if (module == reinterpret_cast<HMODULE>((uintptr_t)0x7C800000) && M().fileIdInfo &&
        strcmp(name, "GetFileInformationByHandleEx") == 0)
        return reinterpret_cast<FARPROC>(reinterpret_cast<void *>(&SimGetFileInformationByHandleEx));
    M().lastError = 127; /* ERROR_PROC_NOT_FOUND */
    return nullptr;
}

int LCMapStringW(LCID locale, DWORD flags, const WCHAR *source, int sourceUnits, WCHAR *out,
                 int units)
{
    Record("LCMapStringW(0x%x,0x%x,%d,%d)", locale, flags, sourceUnits, units);
    if (Faulted("LCMapStringW"))
        return 0;
    if (flags != LCMAP_UPPERCASE || sourceUnits < 0 || units < sourceUnits) {
        M().lastError = ERROR_INVALID_PARAMETER;
        return 0;
    }
    for (int i = 0; i < sourceUnits; i++)
        out[i] = Upper(source[i]);
    return sourceUnits;
}

BOOL WTSQueryUserToken(DWORD sessionId, HANDLE *token)
{
    Record("WTSQueryUserToken(%u)", sessionId);
    if (Faulted("WTSQueryUserToken"))
        return FALSE;
    if (CallerAccount() != "SYSTEM") {
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
    *token = NewHandle(h);
    return TRUE;
}

BOOL CreateEnvironmentBlock(void **environment, HANDLE token, BOOL inherit)
{
    Record("CreateEnvironmentBlock(%s)", inherit ? "TRUE" : "FALSE");
    if (Faulted("CreateEnvironmentBlock"))
        return FALSE;
    const Handle *t = HandleOf(token, Kind::Token);
    if (t == nullptr)
        return FALSE;
    Handle h = {};
    h.kind = Kind::Environment;
    h.account = t->account;
    *environment = NewHandle(h);
    return TRUE;
}

BOOL DestroyEnvironmentBlock(void *environment)
{
    Record("DestroyEnvironmentBlock");
    if (HandleOf(environment, Kind::Environment) == nullptr)
        return FALSE;
    M().handles.erase(reinterpret_cast<uintptr_t>(environment));
    return TRUE;
}

BOOL CreateProcessAsUserW(HANDLE token, const WCHAR *application, WCHAR *commandLine,
                          void *processAttributes, void *threadAttributes, BOOL inherit,
                          DWORD flags, void *environment, const WCHAR *directory,
                          STARTUPINFOW *startup, PROCESS_INFORMATION *information)
{
    (void)processAttributes;
    (void)threadAttributes;
    const Handle *t = FindHandle(token);
    const Handle *e = environment != nullptr ? FindHandle(environment) : nullptr;
    Record("CreateProcessAsUserW(%s,%u,%s,%s,%s,%s,0x%x,%s,%s)",
           t != nullptr && t->kind == Kind::Token ? t->account.c_str() : "invalid",
           t != nullptr ? t->session : 0, Utf8OfName(application).c_str(),
           Utf8OfName(commandLine).c_str(), inherit ? "TRUE" : "FALSE",
           startup != nullptr ? Utf8OfName(startup->lpDesktop).c_str() : "NULL", flags,
           e == nullptr ? "NULL" : e->kind == Kind::Environment ? e->account.c_str() : "invalid",
           Utf8OfName(directory).c_str());
    if (Faulted("CreateProcessAsUserW"))
        return FALSE;
    t = HandleOf(token, Kind::Token);
    if (t == nullptr || startup == nullptr || startup->cb != sizeof(STARTUPINFOW))
        return FALSE;
    if (LookUpFile(application, t->account) < 0)
        return FALSE;
    SimProcess started;
    started.id = M().nextProcessId++;
    started.path = application;
    started.account = t->account;
    started.session = t->session;
    SimAddProcess(started);
    Handle process = {};
    process.processId = started.id;
    process.access = 0x1FFFFF;
    Handle thread = {};
    thread.kind = Kind::Thread;
    information->hProcess = NewHandle(process);
    information->hThread = NewHandle(thread);
    information->dwProcessId = started.id;
    information->dwThreadId = started.id + 1;
    return TRUE;
}

namespace {

/* Opens subKey of HKEY_LOCAL_MACHINE, making it first when create is set.
   Only "SYSTEM" may open a key to set its values. */
LONG OpenKey(HKEY key, const WCHAR *subKey, REGSAM access, bool create, HKEY *result,
             DWORD *disposition)
{
    if (key != HKEY_LOCAL_MACHINE || ((access & KEY_SET_VALUE) != 0 && CallerAccount() != "SYSTEM"))
        return ERROR_ACCESS_DENIED;
    const bool existed = M().registry.count(subKey) != 0;
    if (!existed && !create)
        return ERROR_FILE_NOT_FOUND;
    M().registry[subKey];
    if (disposition != nullptr)
        *disposition = existed ? 2 : 1; /* REG_OPENED_EXISTING_KEY, REG_CREATED_NEW_KEY */
    Handle h = {};
    h.kind = Kind::Key;
    h.key = subKey;
    h.access = access;
    *result = reinterpret_cast<HKEY>(NewHandle(h));
    return ERROR_SUCCESS;
}

} // namespace

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
        return (LONG)M().lastError;
    return OpenKey(key, subKey, access, true, result, disposition);
}

LONG RegOpenKeyExW(HKEY key, const WCHAR *subKey, DWORD options, REGSAM access, HKEY *result)
{
    (void)options;
    Record("RegOpenKeyExW(%s,0x%x)", Utf8OfName(subKey).c_str(), access);
    if (Faulted("RegOpenKeyExW"))
        return (LONG)M().lastError;
    return OpenKey(key, subKey, access, false, result, nullptr);
}

namespace {

/* The values of an open key; null with the error when there is none. */
std::map<std::u16string, std::pair<DWORD, std::string>> *Values(HKEY key, LONG *error)
{
    const Handle *h = FindHandle(key);
    if (h == nullptr || h->kind != Kind::Key) {
        *error = 6;
        return nullptr;
    }
    auto it = M().registry.find(h->key);
    if (it == M().registry.end()) {
        *error = 1018; /* ERROR_KEY_DELETED */
        return nullptr;
    }
    return &it->second;
}

} // namespace

LONG RegQueryValueExW(HKEY key, const WCHAR *name, DWORD *reserved, DWORD *type, BYTE *data,
                      DWORD *bytes)
{
    (void)reserved;
    Record("RegQueryValueExW(%s)", Utf8OfName(name).c_str());
    if (Faulted("RegQueryValueExW"))
        return (LONG)M().lastError;
    LONG error = ERROR_SUCCESS;
    auto *values = Values(key, &error);
    if (values == nullptr)
        return error;
    auto it = values->find(name);
    if (it == values->end())
        return ERROR_FILE_NOT_FOUND;
    const std::string &stored = it->second.second;
    if (type != nullptr)
        *type = it->second.first;
    if (data != nullptr && *bytes < stored.size()) {
        *bytes = (DWORD)stored.size();
        return 234; /* ERROR_MORE_DATA */
    }
    if (data != nullptr)
        memcpy(data, stored.data(), stored.size());
    *bytes = (DWORD)stored.size();
    return ERROR_SUCCESS;
}

LONG RegSetValueExW(HKEY key, const WCHAR *name, DWORD reserved, DWORD type, const BYTE *data,
                    DWORD bytes)
{
    (void)reserved;
    Record("RegSetValueExW(%s,%u,%s)", Utf8OfName(name).c_str(), type,
           Hex(std::string((const char *)data, bytes)).c_str());
    if (Faulted("RegSetValueExW"))
        return (LONG)M().lastError;
    LONG error = ERROR_SUCCESS;
    auto *values = Values(key, &error);
    if (values == nullptr)
        return error;
    if ((FindHandle(key)->access & KEY_SET_VALUE) == 0)
        return ERROR_ACCESS_DENIED;
    (*values)[name] = {type, std::string((const char *)data, bytes)};
    return ERROR_SUCCESS;
}

LONG RegDeleteValueW(HKEY key, const WCHAR *name)
{
    Record("RegDeleteValueW(%s)", Utf8OfName(name).c_str());
    if (Faulted("RegDeleteValueW"))
        return (LONG)M().lastError;
    LONG error = ERROR_SUCCESS;
    auto *values = Values(key, &error);
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
        return (LONG)M().lastError;
    LONG error = ERROR_SUCCESS;
    auto *held = Values(key, &error);
    if (held == nullptr)
        return error;
    const std::u16string below = FindHandle(key)->key + u"\\";
    DWORD children = 0;
    for (const auto &other : M().registry)
        children += other.first.compare(0, below.size(), below) == 0 ? 1 : 0;
    if (subKeys != nullptr)
        *subKeys = children;
    if (values != nullptr)
        *values = (DWORD)held->size();
    return ERROR_SUCCESS;
}

LONG RegDeleteKeyW(HKEY key, const WCHAR *subKey)
{
    Record("RegDeleteKeyW(%s)", Utf8OfName(subKey).c_str());
    if (Faulted("RegDeleteKeyW"))
        return (LONG)M().lastError;
    if (key != HKEY_LOCAL_MACHINE || CallerAccount() != "SYSTEM")
        return ERROR_ACCESS_DENIED;
    auto it = M().registry.find(subKey);
    if (it == M().registry.end())
        return ERROR_FILE_NOT_FOUND;
    const std::u16string below = it->first + u"\\";
    for (const auto &other : M().registry)
        if (other.first.compare(0, below.size(), below) == 0)
            return ERROR_ACCESS_DENIED; /* it has subkeys */
    M().registry.erase(it);
    return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY key)
{
    Record("RegCloseKey");
    if (HandleOf(key, Kind::Key) == nullptr)
        return 6;
    M().handles.erase(reinterpret_cast<uintptr_t>(key));
    return ERROR_SUCCESS;
}

/* ---- msi ---- */

UINT MsiGetPropertyW(MSIHANDLE install, const WCHAR *name, WCHAR *value, DWORD *units)
{
    Record("MsiGetPropertyW(%lu,%s,%u)", install, Utf8OfName(name).c_str(), *units);
    if (Faulted("MsiGetPropertyW"))
        return M().lastError;
    auto it = M().installProperties.find(name);
    const std::u16string found = it != M().installProperties.end() ? it->second : u"";
    if (found.size() >= *units) {
        if (*units > 0) {
            std::copy(found.begin(), found.begin() + (*units - 1), value);
            value[*units - 1] = 0;
        }
        *units = (DWORD)found.size();
        return ERROR_MORE_DATA;
    }
    std::copy(found.begin(), found.end(), value);
    value[found.size()] = 0;
    *units = (DWORD)found.size();
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
        return 6; /* ERROR_INVALID_HANDLE */
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
    return 1; /* IDOK */
}

UINT MsiCloseHandle(MSIHANDLE handle)
{
    Record("MsiCloseHandle");
    return M().records.erase(handle) == 1 ? ERROR_SUCCESS : 6;
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
