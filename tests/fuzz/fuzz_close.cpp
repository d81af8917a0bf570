/*
 * The whole close start over arbitrary simulated process tables: names
 * that match, almost match or cannot be read; the current process
 * anywhere or missing; processes that refuse rights, have gone or cannot
 * be terminated; and up to four platform calls failing. After every run:
 * exit code 0, at most one termination, only of another process whose file
 * name matches, no handle or heap block left. Without injected failures
 * the traces and the termination must be exactly the rules' outcome.
 */
#include "nosaver/nosaver.h"
#include "input.h"
#include "model/model.h"

#include <vector>

namespace {

const DWORD kSelf = 100;

struct Failure {
    const char *operation;
    DWORD error;
};

/* Every way an operation of the simulated Windows can fail, in its table's order. */
const std::vector<Failure> kFailures = [] {
    std::vector<Failure> all;
    for (const SimOperation &o : SimOperations())
        for (DWORD error : o.errors)
            all.push_back({o.name, error});
    return all;
}();

std::u16string Long(const std::u16string &name, size_t length)
{
    std::u16string path = u"C:\\" + std::u16string(150, u'd') + u"\\" + name;
    path.resize(length, u'n');
    return path;
}

std::u16string OwnPath(uint8_t choice, Input &in)
{
    switch (choice % 8) {
    case 0: return u"C:\\Tools\\nosaver.exe";
    case 1: return u"C:\\Tools\\NoSaver.EXE";
    case 2: return Long(u"nosaver", 300);
    case 3: return u"C:\\T\\caf\u00e9.exe";
    case 4: return u"C:\\T\\\u95f2.exe";
    case 5: return u"nosaver.exe";
    case 6: return u"";
    default: return in.Units(in.Byte());
    }
}

/* The path with the ASCII letters of its file name raised or lowered. */
std::u16string NameCased(const std::u16string &path, bool raise)
{
    std::u16string out = path;
    size_t start = out.rfind(u'\\');
    for (size_t i = start == std::u16string::npos ? 0 : start + 1; i < out.size(); i++) {
        if (raise && out[i] >= u'a' && out[i] <= u'z')
            out[i] = (char16_t)(out[i] - 32);
        if (!raise && out[i] >= u'A' && out[i] <= u'Z')
            out[i] = (char16_t)(out[i] + 32);
    }
    return out;
}

std::u16string ProcessPath(uint8_t choice, const std::u16string &own, Input &in)
{
    std::u16string name = model::FileName(own);
    switch (choice % 12) {
    case 0: return own;
    case 1: return u"D:\\Other\\" + name;
    case 2: return NameCased(own, true);
    case 3: return NameCased(own, false);
    case 4: return own + u"x";
    case 5: return u"C:\\Old\\my" + name;
    case 6: return u"C:\\" + name + u"\\editor.exe";
    case 7: return u"C:\\Windows\\explorer.exe";
    case 8: return u"System";
    case 9: return own.substr(0, kProcessPathUnits - 1);
    case 10: return Long(name, 261 + in.Byte() % 40);
    default: return in.Units(in.Byte());
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Input in(data, size);
    uint8_t flags = in.Byte();
    UINT codePage = (flags & 1) ? 936 : 1252;
    bool guardHeld = (flags & 6) != 0; /* mostly: the close flow runs */
    bool unterminated = flags & 8;
    int failures = (flags >> 4) % 5;
    std::u16string own = OwnPath(in.Byte(), in);
    size_t count = in.Byte() % 13;
    uint8_t selfAt = in.Byte();

    std::vector<SimProcess> table;
    for (size_t i = 0; i <= count; i++) {
        if (i == selfAt % (count + 1) && selfAt < 0xF0) {
            SimProcess self;
            self.id = kSelf;
            self.path = own;
            table.push_back(self);
        }
        if (i == count)
            break;
        SimProcess p;
        uint8_t choice = in.Byte();
        uint8_t kind = in.Byte();
        p.id = (i == 0 && (kind & 0x80)) ? 0 : 200 + (DWORD)i;
        p.path = ProcessPath(choice, own, in);
        static const DWORD kGrants[] = {0x1FFFFF, 0x1FFFFF, 0x0410, 0x042B, 0x0001, 0};
        p.grants = kGrants[kind % 6];
        p.modulesFail = (kind & 0x0C) == 0x0C;
        p.pathFails = (kind & 0x30) == 0x30;
        p.terminateError = (kind & 0x40) ? ERROR_ACCESS_DENIED : 0;
        p.goneBeforeOpen = (kind & 0x3C) == 0x14;
        table.push_back(p);
    }

    SimReset();
    SimClearProcesses();
    for (const SimProcess &p : table)
        SimAddProcess(p);
    SimSetCurrentProcess(kSelf);
    SimSetCodePage(codePage);
    SimSetUnterminatedPaths(unterminated);
    if (guardHeld)
        SimHoldMutex(1, kGuardMutexName);
    bool guardFails = false;
    for (int i = 0; i < failures; i++) {
        const Failure &f = kFailures[in.Byte() % kFailures.size()];
        int nth = 1 + in.Byte() % 12;
        SimFail(f.operation, f.error, nth);
        guardFails = guardFails || (std::string(f.operation) == "CreateMutexW" && nth == 1);
    }

    char argument[] = "close";
    int exitCode = -1;
    try {
        exitCode = WinMain(NULL, NULL, argument, 1);
    } catch (const SimLoopEnd &) {
        FUZZ_CHECK(false, "a close start entered the keep-awake loop");
    }
    FUZZ_CHECK(exitCode == 0, "exit code %d", exitCode);

    /* A start keeps its handle to another instance's guard until it ends;
       one that created the guard itself drops it. */
    int ownGuards = SimMutexHolders(1, kGuardMutexName) - (guardHeld ? 1 : 0);
    FUZZ_CHECK(ownGuards == (guardHeld && !guardFails ? 1 : 0), "%d guard handles kept", ownGuards);
    for (const std::string &v : model::Violations(table, kSelf, ownGuards))
        FUZZ_CHECK(false, "%s", v.c_str());
    for (const std::u16string &t : SimDebugOutput())
        FUZZ_CHECK(t.size() < kTraceTextCapacity, "a message of %zu units", t.size());

    if (failures == 0) {
        std::vector<std::string> lines = {model::Format(kMsgCommandLine, argument)};
        std::vector<DWORD> terminated;
        bool prefix = false;
        if (guardHeld) {
            model::CloseOutcome c = model::Close(table, kSelf, codePage, model::CloseFaults());
            lines.insert(lines.end(), c.traces.begin(), c.traces.end());
            terminated = c.terminated;
            prefix = !c.lastErrorKnown;
        } else {
            lines.push_back(kMsgExitApp);
        }
        const std::vector<std::u16string> &out = SimDebugOutput();
        FUZZ_CHECK(out.size() == lines.size(), "%zu messages, %zu expected", out.size(),
                   lines.size());
        for (size_t i = 0; i < lines.size(); i++) {
            std::u16string expected = model::Trace(lines[i], codePage, model::TraceFault::kNone);
            std::u16string got = prefix && i + 1 == lines.size() ? out[i].substr(0, expected.size())
                                                                 : out[i];
            FUZZ_CHECK(got == expected, "message %zu: %s, expected %s", i, SimUtf8(out[i]).c_str(),
                       SimUtf8(expected).c_str());
        }
        std::vector<DWORD> seen;
        for (const auto &t : SimTerminated())
            seen.push_back(t.first);
        FUZZ_CHECK(seen == terminated, "%zu terminated, %zu expected", seen.size(),
                   terminated.size());
    }
    return 0;
}
