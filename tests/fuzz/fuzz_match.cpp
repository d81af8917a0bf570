/*
 * The file-name match with arbitrary paths and keys, in buffers of
 * exactly their length, compared with the rule: the file name (after the
 * last backslash) is the key or the key with its ASCII capitals lowered;
 * with a cut own path, a path that begins with the own folder and then
 * either; the empty key matches nothing.
 */
#include "input.h"
#include "model/model.h"

#include <vector>

namespace {

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
    size_t folderUnits = in.Byte();
    bool mayBeCut = flags & 1;
    std::u16string key = model::UpToNul(in.Units(keyUnits));
    std::u16string folder = model::UpToNul(in.Units(folderUnits)) + u"\\";
    std::u16string rest = model::UpToNul(in.Units(in.Left() / 2));
    std::u16string ownPath = folder + key;

    /* Paths built from the key and the own folder reach the interesting
       cases more often. */
    std::u16string path;
    switch ((flags >> 1) % 9) {
    case 0: path = rest; break;
    case 1: path = rest + u"\\" + key; break;
    case 2: path = rest + u"\\" + model::LoweredAscii(key); break;
    case 3: path = rest + u"\\" + Raised(key); break;
    case 4: path = u"C:\\" + key + rest; break;
    case 5: path = rest + u"\\" + key.substr(0, key.size() / 2); break;
    case 6: path = ownPath + rest; break;
    case 7: path = Raised(folder) + model::LoweredAscii(key) + rest; break;
    default: path = folder.substr(0, folder.size() - 1) + rest; break;
    }

    std::vector<WCHAR> pathIn = Exact(path);
    std::vector<WCHAR> keyIn = Exact(key);
    std::vector<WCHAR> ownIn = Exact(ownPath);
    bool matches = MatchesExeName(pathIn.data(), keyIn.data(), mayBeCut ? ownIn.data() : nullptr) != FALSE;
    bool expected = model::Matches(path, key, mayBeCut ? &ownPath : nullptr);
    FUZZ_CHECK(matches == expected, "path of %zu units, key of %zu units, cut %d: %d, expected %d",
               path.size(), key.size(), (int)mayBeCut, (int)matches, (int)expected);
    /* Whatever the folder, a cut key never reaches beyond the own folder. */
    if (matches && mayBeCut)
        FUZZ_CHECK(model::LoweredAscii(path.substr(0, folder.size())) == model::LoweredAscii(folder),
                   "a path outside the own folder matched");
    return 0;
}
