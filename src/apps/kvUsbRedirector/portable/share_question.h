// The share dialog's question: the localised text with the device's name put in for its "<>".
#pragma once

#include <cstddef>

namespace kv
{

// Writes question with its first "<>" replaced by name into out (capacity characters, at least
// 1), cutting what does not fit and always terminating. Returns the characters written.
template <class CharT>
size_t compose_question(CharT* out, size_t capacity, const CharT* question, const CharT* name)
{
    size_t n = 0;
    auto put = [&](CharT c)
    {
        if (n + 1 >= capacity)
            return false;
        out[n++] = c;
        return true;
    };
    bool replaced = false;
    for (const CharT* p = question; *p; ++p)
    {
        if (!replaced && p[0] == '<' && p[1] == '>')
        {
            replaced = true;
            for (const CharT* q = name; *q; ++q)
                if (!put(*q))
                    break;
            ++p;
            continue;
        }
        if (!put(*p))
            break;
    }
    out[n] = 0;
    return n;
}

} // namespace kv
