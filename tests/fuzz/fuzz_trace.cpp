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
const TraceFault kFaults[] = {
    TraceFault::kNone,           TraceFault::kFormatFails,     TraceFault::kBlockAllocFails,
    TraceFault::kConvertFails,   TraceFault::kConvertShort,    TraceFault::kShortSizeFails,
    TraceFault::kShortAllocFails, TraceFault::kShortRetryFails,
};
const size_t kLengths[] = {126, 127, 128, 129, 4094, 4095, 4096, 4097};

void Inject(TraceFault fault, size_t formattedLength)
{
    bool block = formattedLength > kTraceFixedUnits - 1;
    switch (fault) {
    case TraceFault::kNone:
        break;
    case TraceFault::kFormatFails:
        SimFail("_vsnprintf", 0, 1);
        break;
    case TraceFault::kBlockAllocFails:
        SimFail("HeapAlloc", ERROR_NOT_ENOUGH_MEMORY, 1);
        break;
    case TraceFault::kConvertFails:
        SimFail("MultiByteToWideChar", ERROR_INVALID_PARAMETER, 1);
        break;
    case TraceFault::kConvertShort:
        SimFail("MultiByteToWideChar", ERROR_INSUFFICIENT_BUFFER, 1);
        break;
    case TraceFault::kShortSizeFails:
        SimFail("MultiByteToWideChar", ERROR_INSUFFICIENT_BUFFER, 1);
        SimFail("MultiByteToWideChar", ERROR_INVALID_PARAMETER, 2);
        break;
    case TraceFault::kShortAllocFails:
        SimFail("MultiByteToWideChar", ERROR_INSUFFICIENT_BUFFER, 1);
        SimFail("HeapAlloc", ERROR_NOT_ENOUGH_MEMORY, block ? 2 : 1);
        break;
    case TraceFault::kShortRetryFails:
        SimFail("MultiByteToWideChar", ERROR_INSUFFICIENT_BUFFER, 1);
        SimFail("MultiByteToWideChar", ERROR_INVALID_PARAMETER, 3);
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Input in(data, size);
    uint8_t mode = in.Byte();
    uint8_t shape = in.Byte();
    int number = (int)in.Word();
    UINT codePage = kCodePages[mode % 3];
    TraceFault fault = kFaults[(mode / 3) % 8];
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
        Inject(fault, formatted.size());
        LogDebugString("%s", arg);
        break;
    case 1:
        formatted = model::Format(kMsgCommandLine, arg);
        Inject(fault, formatted.size());
        LogDebugString(kMsgCommandLine, arg);
        break;
    case 2:
        formatted = model::Format(kMsgProcessFullName, arg);
        Inject(fault, formatted.size());
        LogDebugString(kMsgProcessFullName, arg);
        break;
    default:
        formatted = model::Format(kMsgIgnoreCurrentProcess, number, arg);
        Inject(fault, formatted.size());
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
