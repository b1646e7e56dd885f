#include "device_rules.h"

namespace kv
{

namespace
{

bool is_space(char16_t c)
{
    return c == u' ' || c == u'\t';
}

std::u16string_view trimmed(std::u16string_view text)
{
    while (!text.empty() && is_space(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && is_space(text.back()))
        text.remove_suffix(1);
    return text;
}

int hex_digit(char16_t c)
{
    if (c >= u'0' && c <= u'9')
        return c - u'0';
    c = fold_case(c);
    return c >= u'a' && c <= u'f' ? c - u'a' + 10 : -1;
}

// Exactly four hexadecimal digits.
bool parse_number(std::u16string_view text, uint16_t* number)
{
    if (text.size() != 4)
        return false;
    unsigned value = 0;
    for (char16_t c : text)
    {
        const int digit = hex_digit(c);
        if (digit < 0)
            return false;
        value = value << 4 | static_cast<unsigned>(digit);
    }
    *number = static_cast<uint16_t>(value);
    return true;
}

bool starts_with_folded(std::u16string_view text, std::u16string_view prefix)
{
    if (text.size() < prefix.size())
        return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (fold_case(text[i]) != prefix[i])
            return false;
    return true;
}

bool any_rule_matches(const std::vector<Device_rule>& rules, const Device_identity& device,
                      size_t* index)
{
    for (size_t i = 0; i < rules.size(); ++i)
        if (device_rule_matches(rules[i], device))
        {
            *index = i;
            return true;
        }
    return false;
}

} // namespace

char16_t fold_case(char16_t c)
{
    const bool capital = (c >= u'A' && c <= u'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7) ||
                         (c >= 0x391 && c <= 0x3AB && c != 0x3A2) || (c >= 0x410 && c <= 0x42F);
    if (capital)
        return static_cast<char16_t>(c + 0x20);
    return c >= 0x400 && c <= 0x40F ? static_cast<char16_t>(c + 0x50) : c;
}

bool parse_device_rule(std::u16string_view text, Device_rule* rule)
{
    text = trimmed(text);
    *rule = Device_rule{};
    if (text.size() > k_max_rule_length)
        return false;
    if (starts_with_folded(text, u"name="))
    {
        const std::u16string_view pattern = trimmed(text.substr(5));
        if (pattern.empty())
            return false;
        rule->by_name = true;
        for (char16_t c : pattern)
            rule->pattern.push_back(fold_case(c));
        return true;
    }
    size_t count = 0;
    while (count < 3)
    {
        const size_t colon = text.find(u':');
        if (!parse_number(text.substr(0, colon), &rule->numbers[count++]))
            return false;
        if (colon == std::u16string_view::npos)
            break;
        text.remove_prefix(colon + 1);
        if (count == 3)
            return false; // a fourth number
    }
    rule->third = count == 3;
    return count >= 2;
}

bool glob_matches(std::u16string_view pattern, std::u16string_view text)
{
    size_t p = 0, t = 0, star = std::u16string_view::npos, resume = 0;
    while (t < text.size())
    {
        if (p < pattern.size() && pattern[p] == u'*')
        {
            star = p++;
            resume = t;
        }
        else if (p < pattern.size() &&
                 (pattern[p] == u'?' || fold_case(pattern[p]) == fold_case(text[t])))
        {
            ++p;
            ++t;
        }
        else if (star != std::u16string_view::npos)
        {
            p = star + 1;
            t = ++resume;
        }
        else
            return false;
    }
    while (p < pattern.size() && pattern[p] == u'*')
        ++p;
    return p == pattern.size();
}

bool device_rule_matches(const Device_rule& rule, const Device_identity& device)
{
    if (rule.by_name)
        return glob_matches(rule.pattern, device.name);
    return rule.numbers[0] == device.numbers[0] && rule.numbers[1] == device.numbers[1] &&
           (!rule.third || rule.numbers[2] == device.numbers[2]);
}

Rule_decision decide_device(const std::vector<Device_rule>& deny,
                            const std::vector<Device_rule>& allow, const Device_identity& device)
{
    size_t index = 0;
    if (any_rule_matches(deny, device, &index))
        return {Rule_verdict::denied, index};
    if (!allow.empty() && !any_rule_matches(allow, device, &index))
        return {Rule_verdict::not_allowed, 0};
    return {Rule_verdict::allowed, 0};
}

std::u16string identity_numbers_text(const uint16_t numbers[3])
{
    static constexpr char16_t digits[] = u"0123456789abcdef";
    std::u16string text;
    for (int i = 0; i < 3; ++i)
    {
        if (i)
            text.push_back(u':');
        for (int shift = 12; shift >= 0; shift -= 4)
            text.push_back(digits[numbers[i] >> shift & 0xF]);
    }
    return text;
}

} // namespace kv
