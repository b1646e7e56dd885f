// printf-style formatting of log lines, independent of the C runtime's wide printf.
// %s takes a wide string, %d/%i/%u/%x/%X/%c a 32-bit integer; positional "%n$" is accepted.
// Flags (-, 0, +, space, #), width and precision are honoured; length modifiers are ignored.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace kv
{

enum class Format_kind : uint8_t
{
    none,
    integer,
    text
};

template <class CharT> struct Format_arg
{
    Format_kind kind = Format_kind::none;
    uint32_t value = 0;
    const CharT* text = nullptr;
};

constexpr size_t k_max_format_args = 16;

namespace detail
{

template <class CharT> struct Conversion
{
    bool left = false, zero = false, plus = false, space = false, alt = false;
    int position = -1; // zero-based positional index, or -1
    size_t width = 0;
    long precision = -1;
    CharT type = 0;
    const CharT* end = nullptr; // first character after the conversion
};

template <class CharT> bool is_digit(CharT c)
{
    return c >= '0' && c <= '9';
}

// Parses the conversion that starts after a '%'; returns false for an incomplete one.
template <class CharT> bool parse_conversion(const CharT* p, Conversion<CharT>& c)
{
    const CharT* start = p;
    size_t number = 0;
    while (is_digit(*p))
        number = number * 10 + static_cast<size_t>(*p++ - '0');
    if (*p == '$' && p != start && number >= 1 && number <= k_max_format_args)
    {
        c.position = static_cast<int>(number - 1);
        ++p;
    }
    else
        p = start;
    for (;; ++p)
    {
        if (*p == '-')
            c.left = true;
        else if (*p == '0')
            c.zero = true;
        else if (*p == '+')
            c.plus = true;
        else if (*p == ' ')
            c.space = true;
        else if (*p == '#')
            c.alt = true;
        else
            break;
    }
    // Widths and precisions are capped so that a hostile format cannot ask for megabytes.
    for (; is_digit(*p); ++p)
        c.width = std::min<size_t>(c.width * 10 + static_cast<size_t>(*p - '0'), 4096);
    if (*p == '.')
    {
        ++p;
        c.precision = 0;
        for (; is_digit(*p); ++p)
            c.precision = std::min<long>(c.precision * 10 + (*p - '0'), 4096);
    }
    while (*p == 'l' || *p == 'h' || *p == 'w' || *p == 'z')
        ++p;
    if (*p == 0)
        return false;
    c.type = *p;
    c.end = p + 1;
    return true;
}

template <class CharT> Format_kind kind_of(CharT type)
{
    switch (type)
    {
    case 'd':
    case 'i':
    case 'u':
    case 'x':
    case 'X':
    case 'c':
        return Format_kind::integer;
    case 's':
    case 'S':
        return Format_kind::text;
    default:
        return Format_kind::none;
    }
}

template <class CharT> class Writer
{
  public:
    Writer(CharT* out, size_t capacity) : m_out(out), m_capacity(capacity) {}
    void put(CharT c)
    {
        if (m_out && m_count + 1 < m_capacity)
            m_out[m_count] = c;
        ++m_count;
    }
    void repeat(CharT c, size_t n)
    {
        for (size_t i = 0; i < n; ++i)
            put(c);
    }
    size_t finish()
    {
        if (m_out && m_capacity > 0)
            m_out[m_count < m_capacity ? m_count : m_capacity - 1] = 0;
        return m_count;
    }

  private:
    CharT* m_out;
    size_t m_capacity;
    size_t m_count = 0;
};

template <class CharT>
void emit_integer(Writer<CharT>& w, const Conversion<CharT>& c, uint32_t value)
{
    char digits[16];
    size_t n = 0;
    bool negative = false;
    uint32_t magnitude = value;
    unsigned base = (c.type == 'x' || c.type == 'X') ? 16 : 10;
    if (c.type == 'd' || c.type == 'i')
    {
        int32_t s = static_cast<int32_t>(value);
        negative = s < 0;
        magnitude = negative ? 0u - value : value;
    }
    const char* alphabet = c.type == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
    do
    {
        digits[n++] = alphabet[magnitude % base];
        magnitude /= base;
    } while (magnitude != 0);
    if (c.precision == 0 && value == 0)
        n = 0;
    char sign = negative                                   ? '-'
                : (base == 10 && c.type != 'u' && c.plus)  ? '+'
                : (base == 10 && c.type != 'u' && c.space) ? ' '
                                                           : 0;
    size_t prefix = (c.alt && base == 16 && value != 0) ? 2 : 0;
    size_t zeros = c.precision > 0 && static_cast<size_t>(c.precision) > n
                       ? static_cast<size_t>(c.precision) - n
                       : 0;
    size_t body = n + zeros + prefix + (sign ? 1 : 0);
    size_t pad = c.width > body ? c.width - body : 0;
    bool zero_pad = c.zero && !c.left && c.precision < 0;
    if (!c.left && !zero_pad)
        w.repeat(' ', pad);
    if (sign)
        w.put(static_cast<CharT>(sign));
    if (prefix)
    {
        w.put('0');
        w.put(static_cast<CharT>(c.type));
    }
    if (zero_pad)
        w.repeat('0', pad);
    w.repeat('0', zeros);
    while (n > 0)
        w.put(static_cast<CharT>(digits[--n]));
    if (c.left)
        w.repeat(' ', pad);
}

template <class CharT>
void emit_text(Writer<CharT>& w, const Conversion<CharT>& c, const CharT* text)
{
    static const CharT null_text[] = {'(', 'n', 'u', 'l', 'l', ')', 0};
    const CharT* s = text ? text : null_text;
    size_t n = 0;
    while (s[n] != 0 && (c.precision < 0 || n < static_cast<size_t>(c.precision)))
        ++n;
    size_t pad = c.width > n ? c.width - n : 0;
    if (!c.left)
        w.repeat(' ', pad);
    for (size_t i = 0; i < n; ++i)
        w.put(s[i]);
    if (c.left)
        w.repeat(' ', pad);
}

} // namespace detail

// Finds the kind of every argument the format consumes, by position. Returns the number of
// arguments (at most k_max_format_args); conversions beyond that print nothing.
template <class CharT> size_t scan_format_args(const CharT* fmt, Format_kind* kinds)
{
    for (size_t i = 0; i < k_max_format_args; ++i)
        kinds[i] = Format_kind::none;
    size_t next = 0, count = 0;
    for (const CharT* p = fmt; p && *p; ++p)
    {
        if (*p != '%')
            continue;
        if (p[1] == '%')
        {
            ++p;
            continue;
        }
        detail::Conversion<CharT> c;
        if (!detail::parse_conversion(p + 1, c))
            break;
        p = c.end - 1;
        Format_kind kind = detail::kind_of(c.type);
        if (kind == Format_kind::none)
            continue;
        size_t index = c.position >= 0 ? static_cast<size_t>(c.position) : next++;
        if (index >= k_max_format_args)
            continue;
        kinds[index] = kind;
        if (index + 1 > count)
            count = index + 1;
    }
    return count;
}

// Formats into out (capacity characters including the terminating 0; out may be null to count).
// Returns the full length of the message, which may exceed what was stored.
template <class CharT>
size_t format_wide(CharT* out, size_t capacity, const CharT* fmt, const Format_arg<CharT>* args,
                   size_t arg_count)
{
    detail::Writer<CharT> w(out, capacity);
    size_t next = 0;
    for (const CharT* p = fmt; p && *p; ++p)
    {
        if (*p != '%')
        {
            w.put(*p);
            continue;
        }
        if (p[1] == '%')
        {
            w.put('%');
            ++p;
            continue;
        }
        detail::Conversion<CharT> c;
        if (!detail::parse_conversion(p + 1, c))
            break; // a lone '%' at the end prints nothing
        Format_kind kind = detail::kind_of(c.type);
        if (kind == Format_kind::none)
        {
            for (const CharT* q = p; q < c.end; ++q)
                w.put(*q); // unknown conversions are shown as written
            p = c.end - 1;
            continue;
        }
        size_t index = c.position >= 0 ? static_cast<size_t>(c.position) : next++;
        p = c.end - 1;
        if (index >= arg_count || args[index].kind != kind)
            continue;
        if (kind == Format_kind::text)
            detail::emit_text(w, c, args[index].text);
        else if (c.type == 'c')
            w.put(static_cast<CharT>(args[index].value));
        else
            detail::emit_integer(w, c, args[index].value);
    }
    return w.finish();
}

} // namespace kv
