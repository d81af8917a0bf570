/*
 * The simulated Windows from the inside: the state of the one machine that
 * every simulated call reads and changes, and the helpers the subsystems
 * share. Only the files of tests/simwin include this; tests steer the
 * machine through simwin.h.
 */
#ifndef NOSAVER_TESTS_SIMWIN_MACHINE_H
#define NOSAVER_TESTS_SIMWIN_MACHINE_H

#include "simwin/simwin.h"

#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace simwin {

/* The fixed addresses the simulation hands out: the process heap, the
   executable's module and kernel32's. */
constexpr uintptr_t kProcessHeap = 0x7000;
constexpr uintptr_t kExeModule = 0x400000;
constexpr uintptr_t kKernel32 = 0x7C800000;

struct FaultRule {
    std::string operation;
    DWORD error;
    int nth; /* 0: every call */
};

enum class Kind { Process, Mutex, File, Token, Thread, Environment, Key, Folder, Find };

struct Handle {
    Kind kind;
    std::pair<DWORD, std::u16string> mutex; /* session, name */
    DWORD processId;
    DWORD access;
    size_t file;         /* a file: its index in Machine::files */
    std::string account; /* a token: its user, and its session */
    DWORD session;
    std::u16string key; /* a registry key under HKEY_LOCAL_MACHINE */
    std::string owner;  /* a folder: its owner's SID */
    /* a listing: the names and attributes of its entries, and the next */
    std::vector<std::pair<std::u16string, DWORD>> entries;
    size_t next;
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

/* A folder with an owner of its own, or a link (a junction) to another. */
struct SimFolder {
    std::u16string path;
    std::string owner;     /* its owner's SID, such as S-1-5-32-544 */
    std::u16string linkTo; /* a link: the folder it leads to */
};

struct Machine {
    std::vector<std::string> calls;
    std::vector<FaultRule> faults;
    std::map<std::string, int> callCounts;
    DWORD lastError = ERROR_SUCCESS;
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
    std::vector<SimFolder> folders;
    std::map<DWORD, std::string> users; /* session: who is logged on there */
    bool compareStringOrdinal = true;
    bool fileIdInfo = true;
    /* Windows Installer: the installation's properties, the open records
       (their field 0) and the messages it was sent. */
    std::map<std::u16string, std::u16string> installProperties;
    std::map<MSIHANDLE, std::u16string> records;
    MSIHANDLE nextRecord = 0x5000;
    std::vector<std::pair<int, std::u16string>> installLog;
    /* Windows Installer's record: each installed product's InstallLocation. */
    std::map<std::u16string, std::u16string> productLocations;
    DWORD nextProcessId = 5000;
    /* HKEY_LOCAL_MACHINE: key: value name: (type, bytes) */
    std::map<std::u16string, std::map<std::u16string, std::pair<DWORD, std::string>>> registry;
};

/* machine.cpp: the machine (a fresh one on first use) and the record of
   calls. */
Machine &M();
void Record(const char *format, ...) __attribute__((format(printf, 1, 2)));
/* faults.cpp: counts a call of the operation, which must be in
   SimOperations(), and tells whether a fault rule makes it fail; if so the
   rule's last error is set. */
bool Faulted(const char *operation);

/* handles.cpp */
HANDLE NewHandle(const Handle &h);
Handle *FindHandle(HANDLE h);
/* The open handle of that kind, or null with ERROR_INVALID_HANDLE. */
Handle *HandleOf(HANDLE h, Kind kind);

/* processes.cpp */
SimProcess *FindProcess(DWORD id);
/* The account of the current process: "user" when there is none. */
std::string CallerAccount();
/* The last handle to a process is closed. */
void ProcessReleased(DWORD id);

/* files.cpp: the file that a path opens for the account, as an index
   into Machine::files, or -1 with the last error set. */
long LookUpFile(const WCHAR *name, const std::string &account, bool followLinks = true);

/* codepages.cpp: a name or a text for the record of calls, "NULL" for
   none. */
std::string Utf8OfName(const WCHAR *name);

} // namespace simwin

#endif /* NOSAVER_TESTS_SIMWIN_MACHINE_H */
