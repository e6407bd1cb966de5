// FormatBounded: the setup tool's own small printf for UTF-16 text.
//
// The C runtime's wide printf family does not agree across runtimes on what
// "%s" means in a wide format (MinGW-w64 with ISO C stdio reads a narrow
// string), so the tool formats its few conversions itself:
//   %s, %ws   NUL-terminated UTF-16 string (a null pointer prints "(null)")
//   %d, %i    signed 32-bit integer
//   %u        unsigned 32-bit integer
//   %%        a percent sign
// with an optional '0' flag and a decimal width for the integer conversions
// ("%02d", "%03d"). Anything else is a format error.
#include "format.h"

namespace {

// Writes into a buffer of fixed capacity and remembers when text no longer
// fits; the final NUL always needs one slot of its own.
class BoundedWriter {
 public:
  BoundedWriter(wchar_t* buffer, size_t capacity) : buffer_(buffer), capacity_(capacity) {}

  void Put(wchar_t c) {
    if (length_ + 1 >= capacity_) {
      overflow_ = true;
      return;
    }
    buffer_[length_++] = c;
  }

  void PutString(const wchar_t* text) {
    for (; *text != L'\0' && !overflow_; ++text) Put(*text);
  }

  void PutRepeated(wchar_t c, size_t count) {
    for (size_t i = 0; i < count && !overflow_; ++i) Put(c);
  }

  bool overflow() const { return overflow_; }
  size_t length() const { return length_; }

 private:
  wchar_t* buffer_;
  size_t capacity_;
  size_t length_ = 0;
  bool overflow_ = false;
};

// Digits of a magnitude, least significant first; returns their count.
size_t ToDigits(unsigned long long magnitude, wchar_t (&digits)[24]) {
  size_t count = 0;
  do {
    digits[count++] = static_cast<wchar_t>(L'0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  return count;
}

void PutInteger(BoundedWriter& out, bool negative, unsigned long long magnitude, bool zeroPad,
                size_t width) {
  wchar_t digits[24];
  const size_t count = ToDigits(magnitude, digits);
  const size_t used = count + (negative ? 1 : 0);
  const size_t padding = width > used ? width - used : 0;
  if (!zeroPad) out.PutRepeated(L' ', padding);
  if (negative) out.Put(L'-');
  if (zeroPad) out.PutRepeated(L'0', padding);
  for (size_t i = count; i > 0; --i) out.Put(digits[i - 1]);
}

// Widths beyond this are not used by any of the tool's formats.
constexpr size_t MaxWidth = 64;

}  // namespace

namespace {

// Runs the format into the writer; false for a format error.
bool FormatInto(BoundedWriter& out, const wchar_t* format, va_list args) {
  for (const wchar_t* p = format; *p != L'\0' && !out.overflow(); ++p) {
    if (*p != L'%') {
      out.Put(*p);
      continue;
    }
    ++p;
    if (*p == L'%') {
      out.Put(L'%');
      continue;
    }
    bool zeroPad = false;
    if (*p == L'0') {
      zeroPad = true;
      ++p;
    }
    size_t width = 0;
    for (; *p >= L'0' && *p <= L'9'; ++p) {
      width = width * 10 + static_cast<size_t>(*p - L'0');
      if (width > MaxWidth) return false;
    }
    if (*p == L'w' && p[1] == L's') ++p;  // "%ws" is the same as "%s"
    switch (*p) {
      case L's': {
        const wchar_t* text = va_arg(args, const wchar_t*);
        out.PutString(text != nullptr ? text : L"(null)");
        break;
      }
      case L'd':
      case L'i': {
        const long long value = va_arg(args, int);
        const bool negative = value < 0;
        PutInteger(out, negative, static_cast<unsigned long long>(negative ? -value : value),
                   zeroPad, width);
        break;
      }
      case L'u': PutInteger(out, false, va_arg(args, unsigned int), zeroPad, width); break;
      default:  // unknown conversion, or the format ends after '%'
        return false;
    }
  }
  return true;
}

bool IsHighSurrogate(wchar_t c) { return c >= 0xD800 && c <= 0xDBFF; }

}  // namespace

int FormatBoundedV(wchar_t* buffer, size_t capacity, const wchar_t* format, va_list args) {
  if (buffer == nullptr || capacity == 0) return -1;
  buffer[0] = L'\0';
  if (format == nullptr) return -1;

  BoundedWriter out(buffer, capacity);
  if (!FormatInto(out, format, args) || out.overflow()) {
    buffer[0] = L'\0';
    return -1;
  }
  buffer[out.length()] = L'\0';
  return static_cast<int>(out.length());
}

// NOLINTNEXTLINE(cert-dcl50-cpp): printf-style by design; FormatInto reads the arguments
int FormatBounded(wchar_t* buffer, size_t capacity, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  const int result = FormatBoundedV(buffer, capacity, format, args);
  va_end(args);
  return result;
}

int FormatCutV(wchar_t* buffer, size_t capacity, const wchar_t* format, va_list args, bool* cut) {
  if (cut != nullptr) *cut = false;
  if (buffer == nullptr || capacity == 0) return -1;
  buffer[0] = L'\0';
  if (format == nullptr) return -1;

  BoundedWriter out(buffer, capacity);
  if (!FormatInto(out, format, args)) {
    buffer[0] = L'\0';
    return -1;
  }
  size_t length = out.length();
  if (out.overflow()) {
    // Never leave half of a surrogate pair at the cut.
    if (length > 0 && IsHighSurrogate(buffer[length - 1])) --length;
    if (cut != nullptr) *cut = true;
  }
  buffer[length] = L'\0';
  return static_cast<int>(length);
}

// NOLINTNEXTLINE(cert-dcl50-cpp): printf-style by design; FormatInto reads the arguments
int FormatCut(wchar_t* buffer, size_t capacity, bool* cut, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  const int result = FormatCutV(buffer, capacity, format, args, cut);
  va_end(args);
  return result;
}
