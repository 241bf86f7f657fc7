// Small helpers shared by the fuzz targets: an input reader, an invariant check that stops the
// run with a message, and a scratch folder that lives for the whole process (the file helpers
// come from the test support library).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/files.h"
#include "tests/support/scratch_dir.h"

// Stops the run (libFuzzer then saves the input) when an invariant does not hold.
#define FUZZ_CHECK(cond)                                                                            \
    do {                                                                                            \
        if (!(cond)) {                                                                              \
            std::fprintf(stderr, "fuzz invariant failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__); \
            std::abort();                                                                           \
        }                                                                                           \
    } while (0)

// Reads the fuzzer's bytes front to back; past the end every read gives zeros.
class FuzzInput {
public:
    FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool Empty() const { return at_ >= size_; }
    size_t Left() const { return at_ < size_ ? size_ - at_ : 0; }

    uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    uint16_t U16() {
        const uint16_t lo = Byte();
        return static_cast<uint16_t>(lo | (Byte() << 8));
    }
    uint32_t U32() {
        const uint32_t lo = U16();
        return lo | (static_cast<uint32_t>(U16()) << 16);
    }
    // Up to `count` bytes (fewer at the end of the input).
    std::vector<uint8_t> Bytes(size_t count) {
        const size_t n = count < Left() ? count : Left();
        std::vector<uint8_t> out(data_ + at_, data_ + at_ + n);
        at_ += n;
        return out;
    }
    std::vector<uint8_t> Rest() { return Bytes(Left()); }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

inline uint32_t LoadLe32(const uint8_t* at) {
    return static_cast<uint32_t>(at[0]) | (static_cast<uint32_t>(at[1]) << 8) |
           (static_cast<uint32_t>(at[2]) << 16) | (static_cast<uint32_t>(at[3]) << 24);
}

inline uint16_t LoadLe16(const uint8_t* at) {
    return static_cast<uint16_t>(at[0] | (at[1] << 8));
}

// A folder made once per process under $TMPDIR (or /tmp); removed with its files at exit.
inline const std::string& FuzzScratchDir() {
    static const ScratchDir dir("quillon-fuzz");
    if (dir.Path().empty()) {
        std::perror("mkdtemp");
        std::abort();
    }
    return dir.Path();
}

// Points discovery at a UDP port of this process's own on loopback, so that nothing a target
// does can ever ping the real broadcast target. The port stays bound for the whole run.
inline void KeepDiscoveryOnLoopback() {
    static const bool done = [] {
        const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        FUZZ_CHECK(s >= 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        FUZZ_CHECK(::bind(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0);
        socklen_t n = sizeof a;
        FUZZ_CHECK(::getsockname(s, reinterpret_cast<sockaddr*>(&a), &n) == 0);
        const std::string target = "127.0.0.1:" + std::to_string(ntohs(a.sin_port));
        ::setenv("QUILLON_DISCOVERY", target.c_str(), 1);
        return true;
    }();
    (void)done;
}
