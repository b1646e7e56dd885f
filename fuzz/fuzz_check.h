// Helpers shared by the fuzz targets. The checks abort even in optimised builds, so a broken
// invariant becomes a crash libFuzzer keeps as an artifact.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#define KV_CHECK(condition)                                                                        \
    do                                                                                             \
    {                                                                                              \
        if (!(condition))                                                                          \
        {                                                                                          \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);     \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

namespace fuzz
{

// A heap block of exactly size bytes, so ASan reports the first byte read or written past it.
class Exact
{
  public:
    explicit Exact(size_t size) : m_size(size), m_bytes(new uint8_t[size]) {}
    Exact(const uint8_t* from, size_t size) : Exact(size)
    {
        if (size)
            std::memcpy(m_bytes.get(), from, size);
    }
    uint8_t* data()
    {
        return m_bytes.get();
    }
    size_t size() const
    {
        return m_size;
    }

  private:
    size_t m_size;
    std::unique_ptr<uint8_t[]> m_bytes;
};

inline volatile unsigned g_sink;

// Reads every byte of [p, p + n) so ASan checks a span that the code under test only computed.
inline void touch(const uint8_t* p, size_t n)
{
    unsigned sum = 0;
    for (size_t i = 0; i < n; ++i)
        sum += p[i];
    g_sink = g_sink + sum;
}

} // namespace fuzz
