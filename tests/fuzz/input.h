/* Reads a fuzz input as the choices of one run; past its end every read
   gives zeros. A check that fails prints what it found and aborts, which
   libFuzzer reports as a crash with the input that caused it. */
#ifndef NOSAVER_TESTS_FUZZ_INPUT_H
#define NOSAVER_TESTS_FUZZ_INPUT_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

class Input {
public:
    Input(const uint8_t *data, size_t size) : data_(data), size_(size) {}

    uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    uint32_t Word()
    {
        uint32_t w = 0;
        for (int i = 0; i < 4; i++)
            w = (w << 8) | Byte();
        return w;
    }
    char16_t Unit() { return (char16_t)(Byte() | (Byte() << 8)); }
    size_t Left() const { return size_ - at_; }

    std::string Bytes(size_t count)
    {
        std::string out;
        while (count-- > 0 && at_ < size_)
            out += (char)data_[at_++];
        return out;
    }
    std::u16string Units(size_t count)
    {
        std::u16string out;
        while (count-- > 0 && at_ + 1 < size_)
            out += Unit();
        return out;
    }

private:
    const uint8_t *data_;
    size_t size_;
    size_t at_ = 0;
};

#define FUZZ_CHECK(condition, ...)                                      \
    do {                                                                \
        if (!(condition)) {                                             \
            fprintf(stderr, "check failed: %s: ", #condition);          \
            fprintf(stderr, __VA_ARGS__);                               \
            fprintf(stderr, "\n");                                      \
            abort();                                                    \
        }                                                               \
    } while (0)

#endif
