// Shared by the fuzz targets. A failed check aborts in any build, so libFuzzer keeps the input.
// Buffers are vectors of exactly their size, so ASan flags the first byte past them. le<N>
// reads an N-byte little-endian field through memcpy, apart from the code's own load helpers.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#define KV_CHECK(c) ((c) ? void() : fuzz::fail(#c, __FILE__, __LINE__))

namespace fuzz
{

using Bytes = std::vector<uint8_t>;

[[noreturn]] inline void fail(const char* what, const char* file, int line)
{
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
    std::abort();
}

template <size_t N> uint64_t le(const uint8_t* p)
{
    static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__);
    uint64_t v = 0;
    std::memcpy(&v, p, N);
    return v;
}

} // namespace fuzz
