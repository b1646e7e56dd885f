// Formats a wide log line from a va_list with the program's own %s/%d/%x meaning.
#pragma once

#include <cstdarg>
#include <cstddef>

// Returns the message length; stores at most capacity - 1 characters and a terminating 0.
size_t g_format_message(wchar_t* out, size_t capacity, const wchar_t* format, va_list args);
