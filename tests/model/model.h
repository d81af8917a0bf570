/*
 * Reference outcomes for the hardening tests (fault injection and the fuzz
 * targets): what a trace, the own name, the file-name match and the close
 * flow give on the simulated Windows, written out from the documented
 * rules with the standard library rather than from the product's code, and
 * the properties that must hold after any start whatever the platform did.
 */
#ifndef NOSAVER_TESTS_MODEL_H
#define NOSAVER_TESTS_MODEL_H

#include "nosaver/nosaver.h"
#include "simwin/simwin.h"
#include "common/log.h"

#include <stdarg.h>
#include <stdio.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace model {

inline std::string Format(const char *format, ...) __attribute__((format(printf, 1, 2)));
inline std::string Format(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int length = vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text((size_t)std::max(length, 0) + 1, '\0');
    vsnprintf(&text[0], text.size(), format, again);
    va_end(again);
    text.resize((size_t)std::max(length, 0));
    return text;
}

/* ---- trace ---- */

/* What can go wrong while one message is sent. */
enum class TraceFault {
    kNone,
    kFormatFails,       /* the formatting itself fails */
    kBlockAllocFails,   /* no heap block for a message over 127 bytes */
    kConvertFails,      /* the conversion fails, not for want of room */
    kConvertShort,      /* the conversion wants more room: size asked, grown, retried */
    kShortSizeFails,    /* ... and asking the size fails */
    kShortAllocFails,   /* ... and the grown block cannot be had */
    kShortRetryFails,   /* ... and the retry fails */
};

/*
 * How each fault of one message is made, in the one table that the trace's
 * unit tests, its fuzzer and the fault sweep share: the call of the trace
 * that fails, by its role in sending one message, and the last error it
 * fails with. The roles: "format" (the formatting), "block" (the heap block
 * of a message over 127 bytes), "first" (the first conversion), and, once
 * that asked for more room, "size" (asking the room needed), "grown" (the
 * block of that size) and "retry" (the conversion into it).
 */
struct TraceFaultWay {
    TraceFault fault;
    const char *role;
    DWORD error;
};
inline const TraceFaultWay kTraceFaultWays[] = {
    {TraceFault::kFormatFails, "format", 0},
    {TraceFault::kBlockAllocFails, "block", ERROR_NOT_ENOUGH_MEMORY},
    {TraceFault::kConvertFails, "first", ERROR_INVALID_PARAMETER},
    {TraceFault::kConvertShort, "first", ERROR_INSUFFICIENT_BUFFER},
    {TraceFault::kShortSizeFails, "size", ERROR_INVALID_PARAMETER},
    {TraceFault::kShortAllocFails, "grown", ERROR_NOT_ENOUGH_MEMORY},
    {TraceFault::kShortRetryFails, "retry", ERROR_INVALID_PARAMETER},
};

/* The fault that a call of that role failing with that error makes: any
   error but ERROR_INSUFFICIENT_BUFFER makes the first conversion fail. */
inline TraceFault TraceFaultOf(const std::string &role, DWORD error)
{
    for (const TraceFaultWay &way : kTraceFaultWays)
        if (role == way.role && (role != "first" || (error == ERROR_INSUFFICIENT_BUFFER) ==
                                                        (way.error == ERROR_INSUFFICIENT_BUFFER)))
            return way.fault;
    return TraceFault::kNone;
}

/* Makes the next message fail so; block tells whether it takes a heap
   block (more than 127 bytes), which comes before a grown one. */
inline void InjectTraceFault(TraceFault fault, bool block)
{
    for (const TraceFaultWay &way : kTraceFaultWays) {
        if (way.fault != fault)
            continue;
        const std::string role = way.role;
        const bool wantsRoom = role == "size" || role == "grown" || role == "retry";
        if (wantsRoom)
            SimFail("MultiByteToWideChar", ERROR_INSUFFICIENT_BUFFER, 1);
        if (role == "format")
            SimFail("_vsnprintf", way.error, 1);
        else if (role == "block" || role == "grown")
            SimFail("HeapAlloc", way.error, role == "grown" && block ? 2 : 1);
        else
            SimFail("MultiByteToWideChar", way.error, role == "size" ? 2 : role == "retry" ? 3 : 1);
    }
}

/* Each byte as the unit of the same value. */
inline std::u16string OneToOne(const std::string &bytes)
{
    std::u16string out;
    for (unsigned char b : bytes)
        out += (char16_t)b;
    return out;
}

/* What the debugger output stream receives for a message whose formatted
   text is `formatted` (before the cut), in the thread's code page. */
inline std::u16string Trace(std::string formatted, UINT codePage, TraceFault fault)
{
    if (fault == TraceFault::kFormatFails)
        return u"";
    formatted = formatted.substr(0, formatted.find('\0'));
    if (formatted.size() > kTraceTextCapacity - 1)
        formatted.resize(kTraceTextCapacity - 1);
    if (fault == TraceFault::kBlockAllocFails && formatted.size() > kTraceFixedUnits - 1)
        formatted.resize(kTraceFixedUnits - 1);
    bool usable = codePage == 1252 || codePage == 936;
    bool converted = usable && (fault == TraceFault::kNone || fault == TraceFault::kBlockAllocFails ||
                                fault == TraceFault::kConvertShort);
    return converted ? SimDecodeAnsi(codePage, formatted) : OneToOne(formatted);
}

/* ---- own name and match ---- */

inline std::u16string UpToNul(const std::u16string &text)
{
    return text.substr(0, text.find(u'\0'));
}

inline std::u16string FileName(const std::u16string &path)
{
    size_t slash = path.rfind(u'\\');
    return slash == std::u16string::npos ? path : path.substr(slash + 1);
}

struct OwnName {
    std::string narrow; /* as traced */
    std::u16string key; /* what the file names are compared with */
    bool mayBeCut = false;
    std::u16string path; /* as read: 255 units at most */
};

/* The own path is read into 256 units: a longer one is cut to 255, and the
   key may then be only the beginning of the real name. A file name with a
   unit above U+00FF gives the empty name, and the empty key. */
inline OwnName OwnNameOf(const std::u16string &ownPath, bool readFails)
{
    OwnName own;
    if (readFails)
        return own;
    own.mayBeCut = ownPath.size() >= kOwnPathUnits;
    own.path = UpToNul(ownPath.substr(0, kOwnPathUnits - 1));
    std::u16string name = FileName(own.path);
    for (char16_t unit : name)
        if (unit > 0xFF)
            return own;
    own.key = name;
    for (char16_t unit : name)
        own.narrow += (char)unit;
    return own;
}

inline std::u16string LoweredAscii(std::u16string text)
{
    for (char16_t &unit : text)
        if (unit >= u'A' && unit <= u'Z')
            unit = (char16_t)(unit + 32);
    return text;
}

/* The file name is the key, or the key with its ASCII capitals lowered.
   With a cut own path, the path is instead the own path's folder (ASCII
   capitals aside) followed by text that begins with either. */
inline bool Matches(const std::u16string &path, const std::u16string &key,
                    const std::u16string *cutOwnPath)
{
    if (key.empty())
        return false;
    if (cutOwnPath == nullptr) {
        std::u16string name = FileName(path);
        return name == key || name == LoweredAscii(key);
    }
    size_t folder = cutOwnPath->size() - FileName(*cutOwnPath).size();
    if (LoweredAscii(path.substr(0, folder)) != LoweredAscii(cutOwnPath->substr(0, folder)))
        return false;
    std::u16string rest = path.substr(folder);
    for (const std::u16string &k : {key, LoweredAscii(key)})
        if (rest.compare(0, k.size(), k) == 0)
            return true;
    return false;
}

/* What the search compares paths with, as Matches takes it. */
inline const std::u16string *CutOwnPath(const OwnName &own)
{
    return own.mayBeCut ? &own.path : nullptr;
}

/* A process path as the search reads it: 260 units, terminator included. */
inline std::u16string PathAsRead(const std::u16string &path)
{
    return UpToNul(path.substr(0, kProcessPathUnits - 1));
}

/* ---- close flow ---- */

/* What the platform refuses during one close flow, by process id. */
struct CloseFaults {
    bool ownPathFails = false;
    bool enumFails = false;
    DWORD enumError = 0;
    std::set<DWORD> unreadable; /* opening to read, module list or path read fails */
    std::set<DWORD> unopenable; /* opening with the termination rights fails */
    std::set<DWORD> idUnknown;  /* GetProcessId fails */
    std::map<DWORD, DWORD> terminateErrors;
};

struct CloseOutcome {
    std::vector<std::string> traces; /* narrow, formatted */
    /* false: the last trace is "OpenProcess failed,..." with a last error
       that the model does not follow, so only its beginning is known */
    bool lastErrorKnown = true;
    std::vector<DWORD> terminated;
};

/* The process that opening this id reaches (the last one listed with it). */
inline const SimProcess *ById(const std::vector<SimProcess> &table, DWORD id)
{
    const SimProcess *found = nullptr;
    for (const SimProcess &p : table)
        if (p.id == id)
            found = &p;
    return found;
}

inline OwnName OwnNameIn(const std::vector<SimProcess> &table, DWORD self, bool readFails)
{
    const SimProcess *me = ById(table, self);
    return OwnNameOf(me != nullptr ? me->path : std::u16string(), readFails);
}

/* The close flow over a table in enumeration order, run by process self:
   the first other process whose file name matches and that can be read
   and opened for termination is terminated; this process is passed over
   with a trace; nothing else is touched. */
inline CloseOutcome Close(const std::vector<SimProcess> &table, DWORD self, UINT codePage,
                          const CloseFaults &faults)
{
    const DWORD kReadRights = PROCESS_QUERY_INFORMATION | PROCESS_VM_READ;
    const DWORD kTerminateRights = 0x042B;
    CloseOutcome out;
    OwnName own = OwnNameIn(table, self, faults.ownPathFails);
    out.traces = {kMsgFindAndClose, Format(kMsgProcessExeName, own.narrow.c_str())};
    size_t listed = faults.enumFails ? 0 : std::min<size_t>(table.size(), kMaxProcessIds);
    for (size_t i = 0; i < listed; i++) {
        const SimProcess &p = *ById(table, table[i].id);
        bool readable = !p.goneBeforeOpen && (p.grants & kReadRights) == kReadRights &&
                        !p.modulesFail && !p.pathFails && faults.unreadable.count(p.id) == 0;
        std::u16string path = PathAsRead(p.path);
        if (!readable || !Matches(path, own.key, CutOwnPath(own)))
            continue;
        if (p.goneBeforeOpen || (p.grants & kTerminateRights) != kTerminateRights ||
            faults.unopenable.count(p.id) != 0)
            continue;
        DWORD id = faults.idUnknown.count(p.id) != 0 ? 0 : p.id;
        if (id == 0)
            continue;
        std::string shown = SimEncodeAnsi(codePage, path);
        if (id == self) {
            out.traces.push_back(Format(kMsgIgnoreCurrentProcess, (int)self, shown.c_str()));
            continue;
        }
        out.traces.push_back(Format(kMsgProcessFullName, shown.c_str()));
        auto injected = faults.terminateErrors.find(id);
        DWORD error = injected != faults.terminateErrors.end() ? injected->second : p.terminateError;
        if (error != 0)
            out.traces.push_back(Format(kMsgTerminateFailed, (long)(LONG)error));
        else
            out.terminated.push_back(id);
        return out;
    }
    if (faults.enumFails) {
        out.traces.push_back(Format(kMsgOpenProcessFailed, (long)(LONG)faults.enumError));
    } else {
        /* the text up to the error code, which is not known */
        std::string failed = kMsgOpenProcessFailed;
        out.traces.push_back(failed.substr(0, failed.find('%')));
        out.lastErrorKnown = false;
    }
    return out;
}

/* ---- what holds after any start ---- */

/*
 * At most one termination, with exit code 0, of a process other than this
 * one whose file name (as read) matches the own file name; no process
 * handle left open (guardHandles: the guard handles the start may keep);
 * every heap block released. Returns what does not hold.
 */
inline std::vector<std::string> Violations(const std::vector<SimProcess> &table, DWORD self,
                                           int guardHandles)
{
    std::vector<std::string> found;
    OwnName own = OwnNameIn(table, self, false);
    const auto &terminated = SimTerminated();
    if (terminated.size() > 1)
        found.push_back(Format("%zu processes terminated", terminated.size()));
    for (const auto &t : terminated) {
        const SimProcess *p = ById(table, t.first);
        if (t.first == self || t.first == 0 || p == nullptr ||
            !Matches(PathAsRead(p->path), own.key, CutOwnPath(own)))
            found.push_back(Format("process %u terminated, which is not an instance", t.first));
        if (t.second != 0)
            found.push_back(Format("process %u terminated with exit code %u", t.first, t.second));
    }
    if (SimOpenHandles() != guardHandles)
        found.push_back(Format("%d handles open, %d expected", SimOpenHandles(), guardHandles));
    if (SimHeap().live != 0)
        found.push_back(Format("%d heap blocks not released", SimHeap().live));
    return found;
}

} // namespace model

#endif /* NOSAVER_TESTS_MODEL_H */
