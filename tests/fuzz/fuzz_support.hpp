// What the harnesses share: a reader that takes typed values from the front
// of a fuzzer's input (zeros once it runs out), the report of a broken
// invariant, and silencing of the programs' console output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <streambuf>
#include <vector>

namespace fuzz {

class Bytes {
public:
    Bytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool empty() const { return at_ >= size_; }
    size_t left() const { return size_ - at_; }
    uint8_t u8() { return at_ < size_ ? data_[at_++] : 0; }
    uint16_t u16() {
        const uint16_t low = u8();
        return static_cast<uint16_t>(low | (uint16_t(u8()) << 8));
    }
    uint32_t u32() {
        const uint32_t low = u16();
        return low | (uint32_t(u16()) << 16);
    }
    // Up to `n` bytes (fewer when the input runs out).
    std::vector<uint8_t> take(size_t n) {
        if (n > left()) n = left();
        std::vector<uint8_t> out(data_ + at_, data_ + at_ + n);
        at_ += n;
        return out;
    }
    // Everything that is left.
    std::vector<uint8_t> rest() { return take(left()); }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

// A broken invariant: the message, then an abort, which the fuzzer records
// as a finding together with its input.
[[noreturn]] inline void broken(const char* what) {
    std::fprintf(stderr, "INVARIANT BROKEN: %s\n", what);
    std::fflush(stderr);
    std::abort();
}
inline void require(bool holds, const char* what) {
    if (!holds) broken(what);
}

// Sends std::cout and std::cerr to nowhere for the life of the process: the
// code under test reports every failed exchange, which would drown the
// fuzzer's own output and cost a system call each.
inline void silence_console() {
    struct Nowhere : std::streambuf {
        int overflow(int c) override { return c == traits_type::eof() ? 0 : c; }
        std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
    };
    // Never destroyed: the streams are flushed once more at the very end.
    static Nowhere* const nowhere = new Nowhere;
    std::cout.rdbuf(nowhere);
    std::cerr.rdbuf(nowhere);
}

}  // namespace fuzz
