/* Trace output: cut, buffers, decoding, and what happens when the
   platform cannot help. */
#include "sim_test.h"
#include "common/log.h"
#include "model/model.h"

#include <string>

namespace {

const char *kFindAndClose936 =
    "\u67e5\u627e\u5e76\u5173\u95ed\u5df2\u7ecf\u8fd0\u884c\u7684\u7a0b\u5e8f.\n";

/* The characters that the bytes of a text stand for in code page 1252,
   for bytes that are ASCII or of 0xA0 and above (Latin-1 there). */
std::string As1252(const std::string &bytes)
{
    std::u16string wide;
    for (unsigned char b : bytes)
        wide += (char16_t)b;
    return SimUtf8(wide);
}

class TraceTest : public SimTest {};

TEST_F(TraceTest, LongMessagesAreCutAfter4095Bytes)
{
    const struct {
        size_t length;
        size_t arrives;
    } cases[] = {{4094, 4094}, {4095, 4095}, {4096, 4095}, {9000, 4095}};
    for (const auto &c : cases) {
        SimReset();
        std::string text(c.length, 'x');
        text[0] = 'a';
        LogDebugString("%s", text.c_str());
        ASSERT_EQ(Traces().size(), 1u) << c.length;
        EXPECT_EQ(Traces()[0], text.substr(0, c.arrives)) << c.length;
        EXPECT_EQ(SimHeap().live, 0) << c.length;
    }
}

TEST_F(TraceTest, UpTo127BytesStayOffTheHeap)
{
    const struct {
        size_t length;
        int allocations;
        const char *conversion;
    } cases[] = {
        {0, 0, "MultiByteToWideChar(3,0,1,128)"},
        {127, 0, "MultiByteToWideChar(3,0,128,128)"},
        {128, 1, "MultiByteToWideChar(3,0,129,129)"},
    };
    for (const auto &c : cases) {
        SimReset();
        std::string text(c.length, 'm');
        LogDebugString("%s", text.c_str());
        EXPECT_EQ(Traces(), std::vector<std::string>{text}) << c.length;
        EXPECT_EQ(SimHeap().allocations, c.allocations) << c.length;
        EXPECT_EQ(SimHeap().live, 0) << c.length;
        EXPECT_EQ(SimCallsOf({"MultiByteToWideChar"}), std::vector<std::string>{c.conversion});
    }
}

TEST_F(TraceTest, NothingIsAddedToAMessage)
{
    LogDebugString(kMsgExitApp);
    LogDebugString(kMsgOpenProcessFailed, (long)(LONG)0xFFFFFFFFu);
    LogDebugString(kMsgMoveMouse, -1920, 0);
    EXPECT_EQ(Traces(), (std::vector<std::string>{"exit app!\n", "OpenProcess failed,error code:-1",
                                                  "move mouse, src x[-1920], y[0]!\n"}));
    EXPECT_EQ(SimCallsOf({"OutputDebugStringW"}).size(), 3u);
}

TEST_F(TraceTest, ChineseTextsDependOnTheThreadCodePage)
{
    SimSetCodePage(936);
    LogDebugString(kMsgFindAndClose);
    LogDebugString(kMsgIgnoreCurrentProcess, 42, "C:\\nosaver.exe");
    LogDebugString(kMsgProcessFullName, "C:\\nosaver.exe");
    EXPECT_EQ(Traces(), (std::vector<std::string>{
                            kFindAndClose936,
                            "\u5ffd\u7565\u5f53\u524d\u8fdb\u7a0bID[42]C:\\nosaver.exe;",
                            "Process full name\uff1a\nC:\\nosaver.exe;"}));

    SimReset();
    SimSetCodePage(1252);
    LogDebugString(kMsgFindAndClose);
    LogDebugString(kMsgProcessFullName, "x");
    EXPECT_EQ(Traces(), (std::vector<std::string>{As1252(kMsgFindAndClose),
                                                  As1252("Process full name\xa3\xba\nx;")}));
}

TEST_F(TraceTest, WithoutMemoryALongMessageArrivesCut)
{
    model::InjectTraceFault(model::TraceFault::kBlockAllocFails, true);
    std::string text(500, 'h');
    LogDebugString("%s", text.c_str());
    EXPECT_EQ(Traces(), std::vector<std::string>{text.substr(0, 127)});
}

TEST_F(TraceTest, AnUnusableCodePageStillShowsAscii)
{
    SimSetCodePage(65001); /* not decodable by the simulated conversion */
    LogDebugString("lpCmdLine:[%s]\n", "close");
    std::string text(300, 'q');
    LogDebugString("%s", text.c_str());
    EXPECT_EQ(Traces(), (std::vector<std::string>{"lpCmdLine:[close]\n", text}));
    EXPECT_EQ(SimHeap().live, 0);
}

TEST_F(TraceTest, ABufferTooSmallIsGrownToTheNeededSize)
{
    model::InjectTraceFault(model::TraceFault::kConvertShort, true);
    std::string text(200, 'g');
    LogDebugString("%s", text.c_str());
    EXPECT_EQ(Traces(), std::vector<std::string>{text});
    EXPECT_EQ(SimCallsOf({"MultiByteToWideChar"}),
              (std::vector<std::string>{"MultiByteToWideChar(3,0,201,201)",
                                        "MultiByteToWideChar(3,0,201,0)",
                                        "MultiByteToWideChar(3,0,201,201)"}));
    EXPECT_EQ(SimHeap().allocations, 2);
    EXPECT_EQ(SimHeap().live, 0);
}

TEST_F(TraceTest, AFailedRetryStillPassesEveryByte)
{
    /* GBK text needs fewer units than it has bytes, so the grown block is
       smaller than the text; when the retry into it fails, every byte
       must still arrive one-to-one, not only as many as the block holds. */
    std::string gbk;
    for (int i = 0; i < 60; i++)
        gbk += "\xc4\xe3";
    const struct {
        std::string text;
        DWORD retryError;
    } cases[] = {
        {kMsgFindAndClose, ERROR_INVALID_PARAMETER},      /* on the stack */
        {kMsgFindAndClose, ERROR_INSUFFICIENT_BUFFER},
        {gbk + gbk, ERROR_INVALID_PARAMETER},               /* in a heap block */
    };
    for (const auto &c : cases) {
        SimReset();
        SimSetCodePage(936);
        SimFail("MultiByteToWideChar", ERROR_INSUFFICIENT_BUFFER, 1);
        SimFail("MultiByteToWideChar", c.retryError, 3);
        LogDebugString("%s", c.text.c_str());
        EXPECT_EQ(SimCallsOf({"MultiByteToWideChar"}).size(), 3u);
        EXPECT_EQ(Traces(), std::vector<std::string>{As1252(c.text)}) << c.text.size();
        EXPECT_EQ(SimHeap().live, 0);
    }
}

TEST_F(TraceTest, AFormattingErrorSendsTheEmptyText)
{
    model::InjectTraceFault(model::TraceFault::kFormatFails, false);
    LogDebugString(kMsgExitApp);
    EXPECT_EQ(Traces(), std::vector<std::string>{""});
}

} // namespace
