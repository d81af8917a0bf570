/*
 * The trace function with arbitrary narrow texts: raw, or repeated to
 * lengths around the 127-byte stack buffer and the 4095-byte cut; in code
 * page 1252, 936 (invalid double-byte sequences included) or one that
 * cannot be used; with each way the platform can fail it. What arrives
 * must be what the rules give, in one message, with the heap left clean.
 */
#include "input.h"
#include "model/model.h"

#include <string.h>

using model::TraceFault;

namespace {

const UINT kCodePages[] = {1252, 936, 65001};
const size_t kLengths[] = {126, 127, 128, 129, 4094, 4095, 4096, 4097};

/* No fault, or one of the table's. */
TraceFault FaultOf(uint8_t choice)
{
    constexpr size_t kWays = sizeof model::kTraceFaultWays / sizeof model::kTraceFaultWays[0];
    return choice % (kWays + 1) == 0 ? TraceFault::kNone
                                     : model::kTraceFaultWays[choice % (kWays + 1) - 1].fault;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Input in(data, size);
    uint8_t mode = in.Byte();
    uint8_t shape = in.Byte();
    int number = (int)in.Word();
    UINT codePage = kCodePages[mode % 3];
    TraceFault fault = FaultOf(static_cast<uint8_t>(mode / 3));
    std::string text = in.Bytes(in.Left());

    if (shape % 9 != 0) {
        /* Repeated to a length around a boundary, without terminators. */
        std::string unit;
        for (char c : text)
            if (c != '\0')
                unit += c;
        if (unit.empty())
            unit = "\xb2";
        size_t length = kLengths[shape % 9 - 1];
        std::string repeated;
        while (repeated.size() < length)
            repeated += unit;
        text = repeated.substr(0, length);
    }

    std::string formatted;
    SimReset();
    SimSetCodePage(codePage);
    const char *arg = text.c_str();
    switch (shape / 9 % 4) {
    case 0:
        formatted = model::Format("%s", arg);
        model::InjectTraceFault(fault, formatted.size() > kTraceFixedUnits - 1);
        LogDebugString("%s", arg);
        break;
    case 1:
        formatted = model::Format(kMsgCommandLine, arg);
        model::InjectTraceFault(fault, formatted.size() > kTraceFixedUnits - 1);
        LogDebugString(kMsgCommandLine, arg);
        break;
    case 2:
        formatted = model::Format(kMsgProcessFullName, arg);
        model::InjectTraceFault(fault, formatted.size() > kTraceFixedUnits - 1);
        LogDebugString(kMsgProcessFullName, arg);
        break;
    default:
        formatted = model::Format(kMsgIgnoreCurrentProcess, number, arg);
        model::InjectTraceFault(fault, formatted.size() > kTraceFixedUnits - 1);
        LogDebugString(kMsgIgnoreCurrentProcess, number, arg);
        break;
    }

    const std::vector<std::u16string> &out = SimDebugOutput();
    FUZZ_CHECK(out.size() == 1, "%zu messages", out.size());
    std::u16string expected = model::Trace(formatted, codePage, fault);
    FUZZ_CHECK(out[0] == expected, "code page %u, fault %d, %zu bytes: %zu units arrived, %zu expected",
               codePage, (int)fault, formatted.size(), out[0].size(), expected.size());
    FUZZ_CHECK(out[0].size() < kTraceTextCapacity, "%zu units", out[0].size());
    FUZZ_CHECK(SimHeap().live == 0, "%d heap blocks left", SimHeap().live);
    if (formatted.size() < kTraceFixedUnits && fault != TraceFault::kConvertShort &&
        fault != TraceFault::kShortRetryFails && fault != TraceFault::kShortAllocFails)
        FUZZ_CHECK(SimHeap().allocations == 0, "a %zu-byte message used the heap", formatted.size());
    FUZZ_CHECK(SimOpenHandles() == 0, "%d handles", SimOpenHandles());
    return 0;
}
