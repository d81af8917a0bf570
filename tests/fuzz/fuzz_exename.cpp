/*
 * The own-name conversions with arbitrary UTF-16 paths: unpaired
 * surrogates, units above U+00FF, no backslash, longer than 255 units,
 * embedded terminators; the path read failing or left unterminated as
 * Windows XP does. Then the two "%S" conversions on their own with every
 * capacity, into buffers of exactly that size.
 */
#include "input.h"
#include "model/model.h"

#include <string.h>

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Input in(data, size);
    uint8_t flags = in.Byte();
    size_t narrowCapacity = in.Byte() | ((flags & 0x40) ? 0x100 : 0);
    size_t wideCapacity = in.Byte() | ((flags & 0x80) ? 0x100 : 0);
    bool unterminated = flags & 1;
    bool readFails = (flags & 6) == 6;
    std::u16string path = in.Units(in.Left() / 2);
    if (flags & 8)
        path = u"C:\\Program Files\\Tools\\" + path;

    SimReset();
    SimClearProcesses();
    SimProcess self;
    self.id = 100;
    self.path = path;
    SimAddProcess(self);
    SimSetCurrentProcess(100);
    SimSetUnterminatedPaths(unterminated);
    if (readFails)
        SimFail("GetModuleFileNameW", ERROR_ACCESS_DENIED, 1);

    char name[kOwnNameBytes];
    memset(name, '#', sizeof name);
    WCHAR ownPath[kOwnPathUnits];
    BOOL mayBeCut = GetCurrentExeName(name, ownPath);
    FUZZ_CHECK(memchr(name, 0, sizeof name) != nullptr, "the name is not terminated");
    model::OwnName own = model::OwnNameOf(path, readFails);
    FUZZ_CHECK(std::string(name) == own.narrow, "name of %zu bytes, %zu expected", strlen(name),
               own.narrow.size());
    FUZZ_CHECK((mayBeCut != FALSE) == own.mayBeCut, "cut %d for a path of %zu units", mayBeCut,
               path.size());
    FUZZ_CHECK(std::u16string(ownPath) == own.path, "own path of %zu units, %zu expected",
               std::u16string(ownPath).size(), own.path.size());

    /* UTF-16 to narrow: a unit above U+00FF empties the text. */
    std::u16string wide = model::UpToNul(path);
    std::vector<WCHAR> wideIn(wide.begin(), wide.end());
    wideIn.push_back(0);
    std::vector<char> narrowOut(narrowCapacity);
    NarrowToLatin1(wideIn.data(), narrowOut.data(), narrowCapacity);
    if (narrowCapacity > 0) {
        std::string expected;
        bool wideUnits = false;
        for (char16_t u : wide)
            wideUnits = wideUnits || u > 0xFF;
        for (size_t i = 0; !wideUnits && i < wide.size() && i + 1 < narrowCapacity; i++)
            expected += (char)wide[i];
        FUZZ_CHECK(memchr(narrowOut.data(), 0, narrowCapacity) != nullptr, "not terminated");
        FUZZ_CHECK(std::string(narrowOut.data()) == expected, "%zu bytes, %zu expected",
                   strlen(narrowOut.data()), expected.size());
    }

    /* Narrow to UTF-16: each byte the unit of its value. */
    std::string narrow((const char *)data, size);
    narrow = narrow.substr(0, narrow.find('\0'));
    std::vector<WCHAR> wideOut(wideCapacity);
    WideFromLatin1(narrow.c_str(), wideOut.data(), wideCapacity);
    if (wideCapacity > 0) {
        std::u16string expected = model::OneToOne(narrow.substr(0, wideCapacity - 1));
        std::u16string got;
        for (size_t i = 0; i < wideCapacity && wideOut[i] != 0; i++)
            got += wideOut[i];
        FUZZ_CHECK(got.size() < wideCapacity, "not terminated");
        FUZZ_CHECK(got == expected, "%zu units, %zu expected", got.size(), expected.size());
    }

    /* A name that survives the narrow form comes back as it was. */
    if (!own.narrow.empty()) {
        WCHAR key[kOwnPathUnits];
        WideFromLatin1(name, key, kOwnPathUnits);
        FUZZ_CHECK(std::u16string(key) == own.key, "the key differs from the file name");
    }
    FUZZ_CHECK(SimOpenHandles() == 0 && SimHeap().live == 0, "handles or heap left");
    return 0;
}
