// One input read every way the program reads bytes from a peer: as the terminal's reply and
// stream of replies, as a request from the port driver's query buffer and as a device-list reply
// with its records. Buffers are vectors of exactly their size, so ASan flags the first byte past
// them; a failed check aborts, so libFuzzer keeps the input. The exact layouts are the Windows
// tests' to check; here what must hold for any input.
#include "portable/bounded_copy.h"
#include "portable/completion.h"
#include "portable/device_record.h"
#include "portable/frame.h"
#include "portable/reply_frame.h"
#include "portable/share_question.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#define KV_CHECK(c) ((c) ? void() : fail(#c, __LINE__))

namespace
{

using Bytes = std::vector<uint8_t>;

[[noreturn]] void fail(const char* what, int line)
{
    std::fprintf(stderr, "fuzz_portable.cpp:%d: check failed: %s\n", line, what);
    std::abort();
}

// An N-byte little-endian field, read apart from the code's own load helpers.
template <size_t N> uint64_t le(const uint8_t* p)
{
    uint64_t v = 0;
    std::memcpy(&v, p, N);
    return v;
}

// Read as the terminal's reply: MDL data is copied only when the frame ends right after it, never
// more than the mapped buffer holds; the completions fit their 27 bytes.
void reply(const Bytes& in)
{
    const uint8_t* p = in.data();
    const uint64_t framed = in.size() >= 4 ? le<4>(p) + 4 : 0;
    kv::Reap_reply r{};
    const bool ok = in.size() >= 19 && framed >= 19 && framed <= in.size();
    KV_CHECK(kv::parse_reap_reply(p, in.size(), &r) == ok);
    Bytes out(kv::k_completion_size);
    KV_CHECK(!ok || r.data_present == (r.data_length != 0 && framed == 19 + r.data_length));
    for (uint32_t buffer : {0u, 1u, r.data_length - 1, r.data_length, 0xFFFFFFFFu})
    {
        const uint32_t copied = kv::mdl_copy_length(r, buffer);
        KV_CHECK(copied == (ok && r.data_present ? std::min(r.data_length, buffer) : 0));
        kv::build_mdl_completion(r, copied, 0, out.data());
    }
    const bool whole = in.size() >= 10 && le<4>(p) + 4 >= 10;
    KV_CHECK(kv::build_status_completion(p, in.size(), in.size() > 4 ? p[4] : 0, out.data()) ==
             whole);
    for (size_t back = 0; back <= in.size() + 8; ++back) // offsets near SIZE_MAX wrap
        for (size_t at : {back, SIZE_MAX - back})
            KV_CHECK(kv::field_or_none(p, in.size(), at) ==
                     (static_cast<unsigned __int128>(at) + 4 <= in.size() ? le<4>(p + at)
                                                                          : 0xFFFFFFFFu));
}

// Read as a request from the port driver's query buffer: answered, if at all, with the code
// the driver waits for; rewritten from code 15 only when data and header fit 32 bits.
void request(const Bytes& in)
{
    const uint8_t* q = in.data();
    const kv::Driver_request r = kv::parse_driver_request(q, in.size());
    Bytes out(kv::k_completion_size);
    const uint8_t answer = kv::build_failure_reply(r, out.data());
    const uint8_t code = in.size() < 5 ? 0 : q[4];
    KV_CHECK(answer == (code == 7 || code == 15                 ? 8
                        : (code >= 2 && code <= 6) || code == 9 ? code
                                                                : 0));
    kv::Mdl_rewrite m{};
    const bool ok = in.size() >= 32 && le<4>(q) + 4 >= 32 && le<4>(q + 20) + 24 <= UINT32_MAX;
    KV_CHECK(kv::parse_mdl_request(q, in.size(), &m) == ok);
    if (!ok)
        return;
    Bytes header(24);
    kv::write_rewritten_header(q, header.data(), m.data_length);
    KV_CHECK(le<4>(&header[0]) + 4 == m.message_size && header[4] == 7 &&
             m.message_size == m.data_length + 24);
}

// Short messages, frame sizes and the copy of data into a message of room bytes.
void messages(const Bytes& in)
{
    const uint32_t length = in.size() >= 4 ? le<4>(in.data()) : 0;
    for (uint64_t n : {uint64_t{length}, uint64_t{0xFFFFFFFB}, uint64_t{0xFFFFFFFC}})
        KV_CHECK(kv::frame_total_size(n) == (n + 4 > UINT32_MAX ? 0 : n + 4));
    for (size_t capacity = 0; capacity <= 10; ++capacity)
        for (const uint32_t* value : {static_cast<const uint32_t*>(nullptr), &length})
        {
            const size_t want = value ? 9 : 5;
            Bytes out(capacity);
            const size_t n = kv::build_short_message(out.data(), capacity, 0x5A, value);
            KV_CHECK(n == (capacity >= want ? want : 0));
            KV_CHECK(!n || (le<4>(&out[0]) == want - 4 && out[4] == 0x5A &&
                            (!value || le<4>(&out[5]) == length)));
        }
    for (size_t room = 1; room <= 8; ++room)
        for (size_t count = 0; count <= in.size() && count <= 10; ++count)
        {
            Bytes source(in.begin(), in.begin() + count), destination(room, 0xA5);
            KV_CHECK(kv::bounded_copy(destination.data(), room, source.data(), count) ==
                     (count > room ? ERANGE : 0));
            for (size_t i = 0; i < room; ++i) // all of it, or the destination cleared
                KV_CHECK(destination[i] == (count > room ? 0 : i < count ? source[i] : 0xA5));
        }
}

// A record that passed its check is read safely; the name goes into the question once.
void record(const Bytes& r)
{
    const bool ok = kv::check_record(r.data(), r.size()) == kv::Record_check::ok;
    const size_t name = r.size() >= 25 ? le<2>(&r[19]) : 0, id = r.size() >= 25 ? le<2>(&r[21]) : 0;
    KV_CHECK(!ok ||
             (name < r.size() && id < r.size() && (!id || std::count(r.begin() + id, r.end(), 0))));
    const kv::Name_span span = kv::display_name_span(r.data(), r.size());
    KV_CHECK(!span.present || (span.offset == name && span.offset + span.count <= r.size()));
    if (!ok || !span.present)
        return;
    const std::string shown(std::string(&r[name], &r[name] + span.count).c_str());
    const std::string want = "Share " + shown + " now <>?";
    for (size_t capacity : {size_t{1}, size_t{9}, want.size(), want.size() + 1})
    {
        std::vector<char> out(capacity);
        const size_t n =
            kv::compose_question(out.data(), capacity, "Share <> now <>?", shown.c_str());
        KV_CHECK(n == std::min(capacity - 1, want.size()) && want.compare(0, n, out.data()) == 0);
    }
    // The same device under another id is its twin; another identity number makes a stranger.
    // (Strings may overlap the fixed fields, which then change them too.)
    if ((name && name < 25) || (id && id < 25))
        return;
    Bytes twin = r;
    ++twin[5];
    Bytes stranger = twin;
    ++stranger[4];
    ++stranger[23];
    KV_CHECK(kv::records_are_twins(r.data(), r.size(), twin.data(), twin.size()));
    KV_CHECK(!kv::records_are_twins(twin.data(), twin.size(), stranger.data(), stranger.size()));
    KV_CHECK(!kv::records_are_twins(r.data(), r.size(), r.data(), r.size()));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const Bytes input(data, data + size);
    reply(input);
    request(input);
    messages(input);
    // The stream: each frame read into a buffer of exactly length + 4 bytes. A zero length has
    // no code byte and is dropped; a body longer than the limit or the stream ends it.
    for (size_t at = 0, length; size - at >= 4; at += 4 + length)
    {
        if ((length = le<4>(data + at)) == 0)
            continue;
        if (length > kv::k_default_max_reply_length || size - at - 4 < length)
            break;
        reply(Bytes(data + at, data + at + 4 + length));
    }
    // As a device-list reply: every record handed out lies inside the frame's payload.
    kv::Record_walk walk;
    kv::begin_record_walk(input.data(), size, &walk);
    for (kv::Record_view view; kv::next_record(input.data(), size, &walk, &view);)
    {
        KV_CHECK(view.length && view.frame_offset >= 5);
        if (view.check == kv::Record_check::past_payload)
            continue;
        KV_CHECK(view.frame_offset + view.length <= size);
        record(Bytes(data + view.frame_offset, data + view.frame_offset + view.length));
    }
    record(input);
    return 0;
}
