/*
 * The file-name match with arbitrary paths and keys, in buffers of
 * exactly their length, compared with the rule: the file name (after the
 * last backslash) is the key or the key with its ASCII capitals lowered;
 * with a key that may be cut, a file name that begins with either; the
 * empty key matches nothing.
 */
#include "input.h"
#include "tests/unit/model.h"

#include <vector>

namespace {

std::u16string Lowered(std::u16string text)
{
    for (char16_t &u : text)
        if (u >= u'A' && u <= u'Z')
            u = (char16_t)(u + 32);
    return text;
}

std::u16string Raised(std::u16string text)
{
    for (char16_t &u : text)
        if (u >= u'a' && u <= u'z')
            u = (char16_t)(u - 32);
    return text;
}

std::vector<WCHAR> Exact(const std::u16string &text)
{
    std::vector<WCHAR> out(text.begin(), text.end());
    out.push_back(0);
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Input in(data, size);
    uint8_t flags = in.Byte();
    size_t keyUnits = in.Byte();
    bool mayBeCut = flags & 1;
    std::u16string key = model::UpToNul(in.Units(keyUnits));
    std::u16string rest = model::UpToNul(in.Units(in.Left() / 2));

    /* Paths built from the key reach the interesting cases more often. */
    std::u16string path;
    switch ((flags >> 1) % 6) {
    case 0: path = rest; break;
    case 1: path = rest + u"\\" + key; break;
    case 2: path = rest + u"\\" + Lowered(key); break;
    case 3: path = rest + u"\\" + Raised(key); break;
    case 4: path = u"C:\\" + key + rest; break;
    default: path = rest + u"\\" + key.substr(0, key.size() / 2); break;
    }

    std::vector<WCHAR> pathIn = Exact(path);
    std::vector<WCHAR> keyIn = Exact(key);
    bool matches = MatchesExeName(pathIn.data(), keyIn.data(), mayBeCut) != FALSE;
    bool expected = model::Matches(path, key, mayBeCut);
    FUZZ_CHECK(matches == expected, "path of %zu units, key of %zu units, cut %d: %d, expected %d",
               path.size(), key.size(), (int)mayBeCut, (int)matches, (int)expected);
    return 0;
}
