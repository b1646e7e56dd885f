// The device rules an administrator sets by policy: which devices of a client may be shared.
// A rule names a device by its record's identity numbers ("0781:5581", "0781:5581:0100": four
// hexadecimal digits each) or by a pattern for its display name ("name=Kelvra*", with * and ?).
// Pure functions over UTF-16 text: no system headers, so they build and fuzz natively.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kv
{

// The longest rule read; a longer one is malformed.
constexpr size_t k_max_rule_length = 256;

struct Device_rule
{
    bool by_name = false;
    uint16_t numbers[3] = {};
    bool third = false;     // by numbers: the third one given
    std::u16string pattern; // by name: case-folded
};

// Parses one rule (spaces around it ignored); false when it is malformed.
bool parse_device_rule(std::u16string_view text, Device_rule* rule);

struct Device_identity
{
    uint16_t numbers[3];
    std::u16string_view name; // the display name as the share dialog shows it
};

bool device_rule_matches(const Device_rule& rule, const Device_identity& device);

enum class Rule_verdict : uint8_t
{
    allowed,
    denied,     // a deny rule matched: deny_rule is its index
    not_allowed // allow rules are set and none matched
};

struct Rule_decision
{
    Rule_verdict verdict;
    size_t deny_rule;
};

// Deny wins; once any allow rule is set, a device no allow rule matches is refused too.
Rule_decision decide_device(const std::vector<Device_rule>& deny,
                            const std::vector<Device_rule>& allow, const Device_identity& device);

// The case folding of names and patterns: the capitals of ASCII, Latin-1, Greek and Cyrillic.
char16_t fold_case(char16_t c);
// * matches any run of characters, ? any one; case-insensitive. At most pattern x text steps.
bool glob_matches(std::u16string_view pattern, std::u16string_view text);
// "0781:5581:0100", the numbers as rules write them (three, in lower case).
std::u16string identity_numbers_text(const uint16_t numbers[3]);

} // namespace kv
