#include "wide_printf.h"

#include "../portable/wide_format.h"

size_t g_format_message(wchar_t* out, size_t capacity, const wchar_t* format, va_list args)
{
    kv::Format_kind kinds[kv::k_max_format_args];
    size_t count = kv::scan_format_args(format, kinds);
    kv::Format_arg<wchar_t> values[kv::k_max_format_args];
    va_list copy;
    va_copy(copy, args);
    for (size_t i = 0; i < count; ++i)
    {
        values[i].kind = kinds[i];
        // Every argument slot is 64 bits on x64: pointers and handles give their low 32 bits.
        if (kinds[i] == kv::Format_kind::text)
            values[i].text = va_arg(copy, const wchar_t*);
        else
            values[i].value = static_cast<uint32_t>(va_arg(copy, unsigned long long));
        // A position the format never names cannot be typed; it is read as an integer slot.
        if (kinds[i] == kv::Format_kind::none)
            values[i].kind = kv::Format_kind::none;
    }
    va_end(copy);
    return kv::format_wide(out, capacity, format, values, count);
}
