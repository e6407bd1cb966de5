// The setup tool's text: buffers of fixed capacity, and its own bounded
// printf for UTF-16.
#pragma once

#include <cstdarg>
#include <cstddef>

// Buffer capacities, in UTF-16 characters including the terminating NUL.
constexpr size_t ResourceTextCapacity = 100;
constexpr size_t PathCapacity = 260;
constexpr size_t LineCapacity = 1024;

// Bounded UTF-16 printf-style formatting: "%s" and "%ws" both take a
// NUL-terminated UTF-16 string, "%d" a signed and "%u" an unsigned 32-bit
// integer (with an optional zero flag and width, as in "%02d" and "%03d"),
// "%%" a percent sign; nothing else. capacity counts UTF-16 characters with
// the terminating NUL. Returns the characters written (without the NUL), or
// -1 with an empty string when the text needs capacity characters or more,
// or the format is not understood.
int FormatBounded(wchar_t* buffer, size_t capacity, const wchar_t* format, ...);
int FormatBoundedV(wchar_t* buffer, size_t capacity, const wchar_t* format, va_list args);

// The same conversions, but text that does not fit is cut at the capacity
// (never inside a surrogate pair) instead of rejected; *cut tells whether it
// was. Returns the characters written, or -1 with an empty string for a
// format error.
int FormatCutV(wchar_t* buffer, size_t capacity, const wchar_t* format, va_list args, bool* cut);
int FormatCut(wchar_t* buffer, size_t capacity, bool* cut, const wchar_t* format, ...);
