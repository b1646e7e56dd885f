// The device rules: what parses, what each rule matches, and deny before allow.
#include "portable/device_rules.h"

#include <gtest/gtest.h>

#include <tuple>

namespace
{

kv::Device_rule rule(std::u16string_view text)
{
    kv::Device_rule parsed;
    EXPECT_TRUE(kv::parse_device_rule(text, &parsed)) << std::string(text.begin(), text.end());
    return parsed;
}

TEST(Device_rules, ParseMatchAndDecide)
{
    const std::u16string too_long = u"name=" + std::u16string(252, u'x');
    for (std::u16string_view malformed : std::initializer_list<std::u16string_view>{
             u"", u"0781", u"0781:", u"781:5581", u"0781:55811", u"0781:5581:0100:0001",
             u"078g:5581", u"0781-5581", u"name=", u"name=   ", u"0781:5581:", u":5581",
             std::u16string_view(too_long)})
    {
        kv::Device_rule parsed;
        EXPECT_FALSE(kv::parse_device_rule(malformed, &parsed))
            << std::string(malformed.begin(), malformed.end());
    }
    rule(u"name=" + std::u16string(251, u'x')); // the longest rule read
    const kv::Device_identity stick{{0x0781, 0x5581, 0x0100}, u"SanDisk Ultra Fit"},
        pad{{0x056A, 0x00A8, 0x0001}, u"Signature Pad STU-540"},
        cyrillic{{1, 2, 3}, u"\u0421\u041a\u0410\u041d\u0415\u0420 \u00c9T\u00c9"};
    using Row = std::tuple<std::u16string_view, kv::Device_identity, bool>;
    for (auto [text, device, matches] :
         {Row{u"0781:5581", stick, true}, Row{u" 0781:5581:0100 ", stick, true},
          Row{u"0781:5581:0101", stick, false}, Row{u"0781:5582", stick, false},
          Row{u"056a:00A8", pad, true}, Row{u"NAME=sandisk*", stick, true},
          Row{u"name=*ultra*", stick, true}, Row{u"name=SanDisk Ultra Fi?", stick, true},
          Row{u"name=SanDisk Ultra", stick, false}, Row{u"name=SanDisk Ultra Fit*", stick, true},
          Row{u"name=*Fit?", stick, false}, Row{u"name=**", pad, true},
          Row{u"name=*pad*stu-5?0", pad, true},
          Row{u"name=\u0441\u043a\u0430\u043d\u0435\u0440 \u00e9t\u00e9", cyrillic, true}})
        EXPECT_EQ(matches, kv::device_rule_matches(rule(text), device))
            << std::string(text.begin(), text.end());
    // Deny wins; an allow list refuses what it does not name; no rules allow all.
    const std::vector<kv::Device_rule> deny = {rule(u"name=*pad*"), rule(u"0781:5581")},
                                       allow = {rule(u"056a:00a8"), rule(u"0781:5581")};
    EXPECT_EQ(kv::Rule_verdict::allowed, kv::decide_device({}, {}, stick).verdict);
    EXPECT_EQ(kv::Rule_verdict::allowed, kv::decide_device({}, allow, pad).verdict);
    EXPECT_EQ(kv::Rule_verdict::not_allowed, kv::decide_device({}, allow, cyrillic).verdict);
    const kv::Rule_decision denied = kv::decide_device(deny, allow, stick);
    EXPECT_TRUE(denied.verdict == kv::Rule_verdict::denied && denied.deny_rule == 1);
    EXPECT_EQ(0u, kv::decide_device(deny, {}, pad).deny_rule);
    EXPECT_EQ(u"0781:5581:0100", kv::identity_numbers_text(stick.numbers));
}

} // namespace
