// Splitting a Windows command line the way the programs here need it.
#pragma once

#include <string>

namespace testbench {

// Skips one argument of a command line (quoted or not) and the blanks after
// it; the argument without its quotes goes to *argument when one is given.
inline const wchar_t* SkipArgument(const wchar_t* p, std::wstring* argument) {
  while (*p == L' ' || *p == L'\t') ++p;
  const bool quoted = *p == L'"';
  if (quoted) ++p;
  const wchar_t* start = p;
  while (*p && (quoted ? *p != L'"' : (*p != L' ' && *p != L'\t'))) ++p;
  if (argument) argument->assign(start, p);
  if (quoted && *p == L'"') ++p;
  while (*p == L' ' || *p == L'\t') ++p;
  return p;
}

}  // namespace testbench
