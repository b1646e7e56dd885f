// A device-list reply from the terminal: the walk over its records, the checks on each, the
// twin test and the display name that goes into the share question.
#include "fuzz_check.h"

#include "portable/device_record.h"
#include "portable/share_question.h"

#include <algorithm>
#include <string>
#include <tuple>

namespace
{

using namespace fuzz;
using Check = kv::Record_check;

Check expected_check(const Bytes& r)
{
    if (r.size() < 25)
        return Check::too_short;
    const size_t name = le<2>(&r[19]), id = le<2>(&r[21]);
    const bool id_ends = id == 0 || (id < r.size() && std::count(r.begin() + id, r.end(), 0));
    return name < r.size() && id_ends && (!name || !id || name <= id) ? Check::ok
                                                                      : Check::bad_strings;
}

// "-" without an identity string, "" for one that does not end inside the record.
std::string identity(const Bytes& r)
{
    const size_t at = le<2>(&r[21]);
    const auto end = at < r.size() ? std::find(r.begin() + at, r.end(), 0) : r.end();
    return at == 0 ? "-" : end == r.end() ? "" : "+" + std::string(r.begin() + at, end);
}

// Twins: another device id, equal identity numbers and equal identity strings.
void check_twins(const Bytes& a, const Bytes& b)
{
    const bool want = a.size() >= 25 && b.size() >= 25 && std::memcmp(&a[2], &b[2], 4) &&
                      !std::memcmp(&a[11], &b[11], 4) && !std::memcmp(&a[23], &b[23], 2) &&
                      identity(a) != "" && identity(a) == identity(b);
    KV_CHECK(kv::records_are_twins(a.data(), a.size(), b.data(), b.size()) == want);
    KV_CHECK(kv::records_are_twins(b.data(), b.size(), a.data(), a.size()) == want);
}

void check_record(const Bytes& r)
{
    KV_CHECK(kv::check_record(r.data(), r.size()) == expected_check(r));
    const kv::Name_span span = kv::display_name_span(r.data(), r.size());
    if (!span.present)
        return KV_CHECK(expected_check(r) != Check::ok || le<2>(&r[19]) == 0);
    // The name runs up to the identity string, or to the record's end without one.
    const size_t name = le<2>(&r[19]), id = le<2>(&r[21]), end = id ? id : r.size();
    KV_CHECK(span.offset == name && span.count == end - name && end <= r.size());
    const std::string shown(std::string(r.data() + name, r.data() + end).c_str());
    const std::string want = "Share " + shown + " now <>?";
    for (size_t capacity : {size_t{1}, size_t{9}, want.size(), want.size() + 1})
    {
        std::vector<char> out(capacity);
        size_t n = kv::compose_question(out.data(), capacity, "Share <> now <>?", shown.c_str());
        KV_CHECK(n == std::min(capacity - 1, want.size()) && want.compare(0, n, out.data()) == 0);
    }
}

// The record with another device id and one byte changed, or a string offset at its end.
void check_variants(const Bytes& r)
{
    const size_t n = r.size(), changes = std::min<size_t>(n, 64);
    for (size_t i = 0; n >= 25 && i < changes + 6; ++i)
    {
        Bytes v = r;
        const size_t field = i < changes + 3 ? 19 : 21, offset = n - 1 + (i - changes) % 3;
        if (i < changes)
            ++v[i];
        else
            std::tie(v[field], v[field + 1]) = std::pair<uint8_t, uint8_t>(offset, offset >> 8);
        check_record(v);
        ++v[5];
        check_twins(r, v);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* f, size_t size)
{
    const Bytes frame(f, f + size);
    kv::Record_walk walk;
    kv::begin_record_walk(frame.data(), size, &walk);
    // The payload holds (length field - 1) bytes as a 16-bit number, and ends in a zero that
    // only the first record may cover.
    const size_t length = size >= 5 ? le<4>(f) : 0,
                 payload = length >= 4 ? (length - 1) & 0xFFFF : 0;
    const size_t available = std::min(payload, size >= 5 ? size - 5 : 0);
    std::vector<Bytes> records;
    size_t at = 0;
    bool ended = false;
    for (kv::Record_view view; kv::next_record(frame.data(), size, &walk, &view); at += view.length)
    {
        KV_CHECK(!ended && view.frame_offset == 5 + at && at + 2 <= available &&
                 view.length == le<2>(f + 5 + at) && view.length &&
                 (!at || at + view.length < payload));
        ended = view.check == Check::past_payload;
        KV_CHECK(ended == (at + view.length > available));
        if (ended)
            continue;
        records.emplace_back(f + 5 + at, f + 5 + at + view.length);
        KV_CHECK(view.check == expected_check(records.back()));
        ended = view.check == Check::too_short;
    }
    // Or the walk ends at a length field that does not fit, is zero or reaches the closing zero.
    const size_t next = at + 2 <= available ? le<2>(f + 5 + at) : 0;
    KV_CHECK(ended || next == 0 || (at != 0 && at + next >= payload));
    for (const Bytes& a : records)
    {
        check_record(a);
        check_variants(a);
        for (const Bytes& b : records)
            check_twins(a, b);
    }
    check_record(frame);
    return 0;
}
