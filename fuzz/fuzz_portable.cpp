// One input read every way the program reads bytes from a peer: as the terminal's reply and
// stream of replies, as a request from the port driver's query buffer, as a device-list reply
// with its records, and as the data copied into a message. Buffers are vectors of exactly their
// size, so ASan flags the first byte past them. The layouts are the Windows tests' to check; here
// the bounds, and the two results no reply shape reaches: the copy that does not fit and the
// question built from any name.
#include "portable/bounded_copy.h"
#include "portable/completion.h"
#include "portable/device_record.h"
#include "portable/device_rules.h"
#include "portable/frame.h"
#include "portable/reply_frame.h"
#include "portable/share_question.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
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

void as_reply_and_request(const Bytes& in)
{
    Bytes out(kv::k_completion_size), header(kv::k_urb_header_size);
    kv::Reap_reply r{};
    if (kv::parse_reap_reply(in.data(), in.size(), &r))
        for (uint32_t buffer : {0u, r.data_length - 1, r.data_length, 0xFFFFFFFFu})
        {
            const uint32_t copied = kv::mdl_copy_length(r, buffer);
            KV_CHECK(copied <= buffer && copied <= r.data_length && (r.data_present || !copied) &&
                     copied + 19 <= in.size());
            kv::build_mdl_completion(r, copied, 0, out.data());
        }
    kv::build_status_completion(in.data(), in.size(), in.size() > 4 ? in[4] : 0, out.data());
    for (size_t at = 0; at <= in.size() + 4; ++at)
        kv::field_or_none(in.data(), in.size(), at);
    kv::build_failure_reply(kv::parse_driver_request(in.data(), in.size()), out.data());
    kv::Mdl_rewrite m{};
    if (kv::parse_mdl_request(in.data(), in.size(), &m))
        kv::write_rewritten_header(in.data(), header.data(), m.data_length);
}

// A record that passed its check is read safely, and its name goes into the question once.
void as_record(const Bytes& r)
{
    if (kv::check_record(r.data(), r.size()) == kv::Record_check::ok)
        kv::records_are_twins(r.data(), r.size(), r.data(), r.size());
    const kv::Name_span span = kv::display_name_span(r.data(), r.size());
    if (!span.present)
        return;
    KV_CHECK(span.offset + span.count <= r.size());
    const std::string shown(std::string(&r[span.offset], &r[span.offset] + span.count).c_str());
    const std::string want = "Share " + shown + " now <>?";
    for (size_t capacity : {size_t{1}, size_t{9}, want.size(), want.size() + 1})
    {
        std::vector<char> out(capacity);
        const size_t n =
            kv::compose_question(out.data(), capacity, "Share <> now <>?", shown.c_str());
        KV_CHECK(n == std::min(capacity - 1, want.size()) && want.compare(0, n, out.data()) == 0);
    }
}

} // namespace

// A policy's rule and a device's name, the input's halves as UTF-16: a rule that parses decides
// in bounded time; a name pattern without wildcards matches its own text and "*" matches all.
void as_device_rule(const Bytes& in)
{
    std::u16string text(in.size() / 2, u' ');
    for (size_t i = 0; i < text.size(); ++i)
        text[i] = static_cast<char16_t>(in[2 * i] | in[2 * i + 1] << 8);
    const std::u16string_view rule_text = std::u16string_view(text).substr(0, text.size() / 2),
                              name = std::u16string_view(text).substr(text.size() / 2);
    kv::Device_rule rule;
    if (!kv::parse_device_rule(rule_text, &rule))
        return;
    const kv::Device_identity device{
        {rule.numbers[0], rule.numbers[1], static_cast<uint16_t>(rule.third ? rule.numbers[2] : 7)},
        name};
    const bool matches = kv::device_rule_matches(rule, device);
    KV_CHECK(matches ==
             (kv::decide_device({rule}, {}, device).verdict == kv::Rule_verdict::denied));
    KV_CHECK(!rule.by_name || rule.pattern.find_first_of(u"*?") != std::u16string::npos ||
             kv::glob_matches(rule.pattern, rule.pattern));
    KV_CHECK(rule.by_name || matches);
    KV_CHECK(kv::glob_matches(u"*", name));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const Bytes input(data, data + size);
    as_reply_and_request(input);
    as_device_rule(input);
    // The stream: each frame read into a buffer of exactly length + 4 bytes.
    for (size_t at = 0; size - at >= 4;)
    {
        const uint32_t length = kv::load_u32(data + at);
        if (length > kv::k_default_max_reply_length || size - at - 4 < length)
            break;
        as_reply_and_request(Bytes(data + at, data + at + 4 + length));
        at += 4 + length;
    }
    kv::Record_walk walk;
    kv::begin_record_walk(input.data(), size, &walk);
    for (kv::Record_view view; kv::next_record(input.data(), size, &walk, &view);)
        if (view.check != kv::Record_check::past_payload)
            as_record(Bytes(data + view.frame_offset, data + view.frame_offset + view.length));
    as_record(input);
    // The copy of data into a message of room bytes: all of it, or the destination cleared.
    for (size_t room = 1; room <= 8; ++room)
        for (size_t count = 0; count <= size && count <= 10; ++count)
        {
            Bytes destination(room, 0xA5);
            KV_CHECK(kv::bounded_copy(destination.data(), room, data, count) ==
                     (count > room ? ERANGE : 0));
            for (size_t i = 0; i < room; ++i)
                KV_CHECK(destination[i] == (count > room ? 0 : i < count ? data[i] : 0xA5));
        }
    return 0;
}
