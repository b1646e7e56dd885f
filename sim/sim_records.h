// Builds the terminal's device records and device-list replies; header-only and portable, for
// the simulated terminal and the native and Windows tests alike.
#pragma once

#include "portable/frame.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace sim_records
{

using Bytes = std::vector<uint8_t>;

struct Record_fields
{
    uint32_t id = 1;
    uint16_t id1 = 0x1234, id2 = 0x5678, id3 = 0x0100;
    const char* name = "Stick";    // nullptr: name offset 0
    const char* identity = "SN-1"; // nullptr: identity string offset 0
};

inline Bytes record(const Record_fields& s)
{
    const size_t name_size = s.name ? std::char_traits<char>::length(s.name) + 1 : 0;
    const size_t identity_size = s.identity ? std::char_traits<char>::length(s.identity) + 1 : 0;
    Bytes r(25 + name_size + identity_size, 0xEE); // 0xEE: bytes the program only passes on
    auto put16 = [&](size_t at, size_t v)
    {
        r[at] = static_cast<uint8_t>(v);
        r[at + 1] = static_cast<uint8_t>(v >> 8);
    };
    put16(0, r.size());
    kv::store_u32(r.data() + 2, s.id);
    put16(11, s.id1);
    put16(13, s.id2);
    put16(19, s.name ? 25 : 0);
    put16(21, s.identity ? 25 + name_size : 0);
    put16(23, s.id3);
    std::copy(s.name, s.name + name_size, r.begin() + 25);
    std::copy(s.identity, s.identity + identity_size, r.begin() + 25 + name_size);
    return r;
}

// A device-list reply: the records, then the closing zero unless left out.
inline Bytes reply(const std::vector<Bytes>& records, bool closing_zero = true)
{
    Bytes f(5, 0);
    f[4] = kv::code_device_list;
    for (const Bytes& r : records)
        f.insert(f.end(), r.begin(), r.end());
    if (closing_zero)
        f.insert(f.end(), {0, 0});
    kv::store_u32(f.data(), static_cast<uint32_t>(f.size() - 4));
    return f;
}

} // namespace sim_records
