// A device-list reply from the terminal: the walk over its records, the checks on each, the
// twin test between every pair and the display name that goes into the share question.
#include "fuzz_check.h"

#include "portable/device_record.h"
#include "portable/frame.h"
#include "portable/share_question.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace
{

using fuzz::Exact;

struct Walked
{
    size_t frame_offset;
    size_t length;
    kv::Record_check check;
};

// Every yielded record starts inside the payload, follows the previous one directly, and, when
// it was checked, lies whole inside the message.
std::vector<Walked> walk(const uint8_t* frame, size_t frame_size)
{
    std::vector<Walked> out;
    kv::Record_walk walk;
    kv::begin_record_walk(frame, frame_size, &walk);
    KV_CHECK(walk.available <= walk.payload_size);
    KV_CHECK(walk.done || kv::k_frame_header_size + walk.available <= frame_size);
    size_t expected = kv::k_frame_header_size;
    kv::Record_view view;
    while (kv::next_record(frame, frame_size, &walk, &view))
    {
        KV_CHECK(view.frame_offset == expected);
        KV_CHECK(view.length != 0);
        KV_CHECK(view.frame_offset + 2 <= frame_size);
        const bool ends_walk = view.check == kv::Record_check::too_short ||
                               view.check == kv::Record_check::past_payload;
        KV_CHECK(walk.done == ends_walk);
        if (view.check != kv::Record_check::past_payload)
            KV_CHECK(view.frame_offset + view.length <= frame_size);
        if (view.check == kv::Record_check::ok)
            KV_CHECK(view.length >= kv::k_record_fixed_size);
        KV_CHECK(kv::record_length(frame + view.frame_offset) == view.length);
        out.push_back({view.frame_offset, view.length, view.check});
        expected += view.length;
    }
    KV_CHECK(walk.done);
    KV_CHECK(!kv::next_record(frame, frame_size, &walk, &view));
    return out;
}

void check_name(const uint8_t* record, size_t record_size)
{
    kv::Name_span span = kv::display_name_span(record, record_size);
    if (!span.present)
        return;
    KV_CHECK(span.offset <= record_size && span.count <= record_size - span.offset);
    fuzz::touch(record + span.offset, span.count);

    // The name as the share dialog gets it: its bytes, cut at a zero, into a small buffer.
    std::string name(reinterpret_cast<const char*>(record + span.offset), span.count);
    name = name.c_str();
    for (size_t capacity : {size_t{1}, size_t{2}, size_t{9}, size_t{40}})
    {
        std::vector<char> out(capacity);
        size_t n = kv::compose_question(out.data(), capacity, "Share <> now?", name.c_str());
        KV_CHECK(n < capacity && out[n] == 0 && std::strlen(out.data()) == n);
        KV_CHECK(n == std::min(capacity - 1, name.size() + 11));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Exact frame(data, size);
    std::vector<Walked> records = walk(frame.data(), frame.size());

    // The list keeps a heap copy of each record of exactly its length, and later reads the
    // copies alone: bounds come from that length, not from the frame.
    std::vector<Exact> whole;
    for (const Walked& r : records)
    {
        if (r.check == kv::Record_check::past_payload || r.check == kv::Record_check::too_short)
            continue;
        whole.emplace_back(frame.data() + r.frame_offset, r.length);
        KV_CHECK(kv::check_record(whole.back().data(), r.length) == r.check);
        check_name(whole.back().data(), r.length);
    }
    // The twin test promises to stay inside both records even for records that failed their
    // check, and is symmetric: the list must mark both or neither of a pair.
    for (Exact& a : whole)
        for (Exact& b : whole)
        {
            bool ab = kv::records_are_twins(a.data(), a.size(), b.data(), b.size());
            KV_CHECK(ab == kv::records_are_twins(b.data(), b.size(), a.data(), a.size()));
            if (&a == &b)
                KV_CHECK(!ab);
        }

    // The whole input taken as one record, as a stored record of any length is read.
    kv::check_record(frame.data(), frame.size());
    check_name(frame.data(), frame.size());
    return 0;
}
