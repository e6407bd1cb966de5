// Support for the benchmark programs: a clock, statistics over repeated runs,
// test pages generated in memory and process memory figures. The owners of
// Windows resources are the test bench's (testbench/owners).
#pragma once

#include <windows.h>
#include <objidl.h>

#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "com_initializer.h"
#include "com_ref.h"
#include "owner.h"

namespace bench {

// Seconds on a monotonic high-resolution clock.
double NowSeconds();

// Minimum and median of a set of run times, in seconds.
struct Stats {
  double min = 0.0;
  double median = 0.0;
  int runs = 0;
};
Stats Summarise(std::vector<double> seconds);

// One contender of a measurement: `prepare` and `finish` run untimed before
// and after each timed `body`. A failing step ends the variant's runs and is
// kept in `result`.
struct Variant {
  std::string name;
  int runs = 1;
  std::function<HRESULT()> prepare;
  std::function<HRESULT()> body;
  std::function<void()> finish;
  Stats stats;
  HRESULT result = S_OK;
};

// Runs the variants in turn, round after round (a variant takes part in its
// first `runs` rounds), so that all of them meet the same machine load. With
// `warmUp`, one untimed round goes first, so that no variant pays for the
// first use of a library or of fresh memory.
void RunSideBySide(std::vector<Variant>* variants, bool warmUp = false);

// Runs `prepare` (untimed) and then `body` (timed) `runs` times.
// A failing step stops the measurement: the failure is returned and `out`
// is left as it was.
HRESULT Measure(int runs, const std::function<HRESULT()>& prepare,
                const std::function<HRESULT()>& body, Stats* out);

// A test page: an uncompressed bottom-up BMP file with biSizeImage filled in.
struct PageSpec {
  const char* name;
  LONG width;
  LONG height;
  WORD bitCount;  // 1 (black and white), 8 (256 greys), 16 (5-5-5), 24 or 32
  LONG dpi;
};

// Bytes per stored row, padded to a multiple of 4.
DWORD RowStride(const PageSpec& page);
DWORD PixelBytes(const PageSpec& page);   // biSizeImage
DWORD PixelOffset(const PageSpec& page);  // bfOffBits
DWORD FileBytes(const PageSpec& page);    // bfSize
// Writes the complete file (FileBytes(page) bytes) into `out`. Pixels follow a
// fixed pattern of gradients and noise, the same on every call.
void FillBmpFile(const PageSpec& page, BYTE* out);
std::vector<BYTE> MakeBmpFile(const PageSpec& page);

// A memory stream (CreateStreamOnHGlobal) holding the page's file, at
// position 0. Only one copy of the file is made: in the stream's own block.
HRESULT MakePageStream(const PageSpec& page, IStream** stream);
// An empty memory stream, or one whose size is first set to `reserve` bytes
// and whose position is 0 (an application's stream with room for the page).
HRESULT MakeMemoryStream(ULONG64 reserve, IStream** stream);
// A new, empty file stream on `path` (created or truncated), as an
// application saving its scans would hand out (SHCreateStreamOnFileEx).
HRESULT MakeFileStream(const std::wstring& path, IStream** stream);

// Owns a file name in the temporary folder and deletes the file at the end.
class TempFile {
 public:
  explicit TempFile(const wchar_t* stem);
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile();
  const std::wstring& Path() const { return path_; }

 private:
  std::wstring path_;
};
// Size of a stream, from Stat.
HRESULT StreamSize(IStream* stream, ULONG64* size);
// Writes `size` bytes from `data` into `stream` in pieces of `piece` bytes.
HRESULT WriteInPieces(IStream* stream, const BYTE* data, size_t size, size_t piece);

// Memory figures of this process (GetProcessMemoryInfo).
struct MemoryFigures {
  SIZE_T workingSet = 0;      // WorkingSetSize
  SIZE_T peakWorkingSet = 0;  // PeakWorkingSetSize
  SIZE_T pagefile = 0;        // PagefileUsage
};
MemoryFigures ReadMemoryFigures();

// Every page the benchmarks work on, by name: grey150, grey300, grey600half,
// grey600, grey1200 (8-bit); colour150, colour300, colour600, colour600legal
// (24-bit); mono600 (1-bit), colour16_300 (16-bit), colour32_300 (32-bit).
// Each case takes its pages from this table.
const std::vector<PageSpec>& AllPages();
const PageSpec* FindPage(const std::string& name);
// The pages of the table with these names, in this order.
std::vector<PageSpec> PagesNamed(std::initializer_list<const char*> names);
// The pages most cases work on: A4 at 300 and 600 dpi in 8-bit grey, and A4
// at 300 dpi in 24-bit colour.
const std::vector<PageSpec>& Pages();

// The file `name` in the folder of this program.
std::wstring BesideProgram(const wchar_t* name);

// Command-line options shared by the benchmark programs:
//   --runs N     repetitions of the quick cases (default 7)
//   --slow N     repetitions of the slow cases (default 3)
//   --page NAME  only this page (repeatable), a name of AllPages()
//   --dll PATH   the build of the filter to load (default: the Vantrel.dll
//                beside the program); a Windows path, as Wine sees it
//                (Z:\work\...\Vantrel.dll)
struct Options {
  int runs = 7;
  int slowRuns = 3;
  std::vector<std::string> pages;
  std::wstring dll;
  std::vector<std::string> rest;  // arguments not understood here
  bool Wants(const PageSpec& page) const;
  // Whether the program's case `name` runs: with no case named, all run.
  bool Runs(const char* name) const;
  // False, with a line on standard error, when an argument names none of
  // the program's `cases`.
  bool NamesOnly(std::initializer_list<const char*> cases) const;
};
Options ParseOptions(int argc, char** argv);

// "row 2480", "64 KiB", "1 MiB", "page".
std::string PieceName(size_t piece, size_t fileBytes);

// Formatting helpers for the printed tables.
std::string FormatMs(double seconds);
std::string FormatRatio(double numerator, double denominator);
std::string FormatHr(HRESULT hr);

}  // namespace bench
