#include "bench_support.h"

#include <psapi.h>
#include <shlwapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace bench {

double NowSeconds() {
  LARGE_INTEGER frequency;
  LARGE_INTEGER now;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

Stats Summarise(std::vector<double> seconds) {
  Stats stats;
  stats.runs = static_cast<int>(seconds.size());
  if (seconds.empty()) return stats;
  std::sort(seconds.begin(), seconds.end());
  stats.min = seconds.front();
  const size_t n = seconds.size();
  stats.median = (n % 2 == 1) ? seconds[n / 2] : (seconds[n / 2 - 1] + seconds[n / 2]) / 2.0;
  return stats;
}

void RunSideBySide(std::vector<Variant>* variants, bool warmUp) {
  int rounds = 0;
  for (const Variant& v : *variants) rounds = std::max(rounds, v.runs);
  const int first = warmUp ? -1 : 0;
  std::vector<std::vector<double>> times(variants->size());
  for (int round = first; round < rounds; ++round) {
    for (size_t i = 0; i < variants->size(); ++i) {
      Variant& v = (*variants)[i];
      if (round >= v.runs || FAILED(v.result)) continue;
      HRESULT hr = v.prepare ? v.prepare() : S_OK;
      if (SUCCEEDED(hr)) {
        const double start = NowSeconds();
        hr = v.body();
        if (round >= 0) times[i].push_back(NowSeconds() - start);
      }
      if (v.finish) v.finish();
      if (FAILED(hr)) v.result = hr;
    }
  }
  for (size_t i = 0; i < variants->size(); ++i) {
    Variant& v = (*variants)[i];
    if (SUCCEEDED(v.result)) v.stats = Summarise(times[i]);
  }
}

HRESULT Measure(int runs, const std::function<HRESULT()>& prepare,
                const std::function<HRESULT()>& body, Stats* out) {
  std::vector<Variant> one(1);
  one[0].runs = runs;
  one[0].prepare = prepare;
  one[0].body = body;
  RunSideBySide(&one);
  if (SUCCEEDED(one[0].result)) *out = one[0].stats;
  return one[0].result;
}

DWORD RowStride(const PageSpec& page) {
  return ((static_cast<DWORD>(page.width) * page.bitCount + 31) / 32) * 4;
}

DWORD PixelBytes(const PageSpec& page) { return RowStride(page) * static_cast<DWORD>(page.height); }

// Entries of the page's colour table: 256 greys, black and white, or none.
DWORD PaletteEntries(const PageSpec& page) {
  return page.bitCount == 8 ? 256 : page.bitCount == 1 ? 2 : 0;
}

DWORD PixelOffset(const PageSpec& page) {
  return sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER) + PaletteEntries(page) * 4;
}

DWORD FileBytes(const PageSpec& page) { return PixelOffset(page) + PixelBytes(page); }

void FillBmpFile(const PageSpec& page, BYTE* out) {
  BITMAPFILEHEADER file = {};
  file.bfType = 0x4D42;
  file.bfSize = FileBytes(page);
  file.bfOffBits = PixelOffset(page);
  BITMAPINFOHEADER info = {};
  info.biSize = sizeof(BITMAPINFOHEADER);
  info.biWidth = page.width;
  info.biHeight = page.height;  // bottom-up, as scanners commonly store it
  info.biPlanes = 1;
  info.biBitCount = page.bitCount;
  info.biCompression = BI_RGB;
  info.biSizeImage = PixelBytes(page);
  const LONG perMetre = static_cast<LONG>(page.dpi * 10000.0 / 254.0 + 0.5);
  info.biXPelsPerMeter = perMetre;
  info.biYPelsPerMeter = perMetre;
  const DWORD entries = PaletteEntries(page);
  info.biClrUsed = entries;
  std::memcpy(out, &file, sizeof file);
  std::memcpy(out + sizeof file, &info, sizeof info);
  BYTE* p = out + sizeof file + sizeof info;
  for (DWORD i = 0; i < entries; ++i) {
    p[0] = p[1] = p[2] = static_cast<BYTE>(i * 255 / (entries - 1));
    p[3] = 0;
    p += 4;
  }
  // A page-like picture: a light background with a gradient, stripes of
  // "text" and some noise, so no level dominates. Colour pages shift each
  // channel (blue, green, red) a little; a 1-bit page is the level cut at
  // half; a 16-bit page keeps 5 bits of each channel (5-5-5), a 32-bit page
  // leaves its fourth byte 0.
  const DWORD stride = RowStride(page);
  const size_t bytes = page.bitCount / 8;
  UINT32 noise = 2463534242u;
  for (LONG y = 0; y < page.height; ++y) {
    BYTE* row = out + PixelOffset(page) + static_cast<size_t>(y) * stride;
    std::memset(row, 0, stride);
    const bool textLine = (y / 24) % 3 == 1;
    for (LONG x = 0; x < page.width; ++x) {
      noise ^= noise << 13;
      noise ^= noise >> 17;
      noise ^= noise << 5;
      int level = 200 + static_cast<int>((x + y) % 48) - 24;
      if (textLine && ((x / 7) % 5) < 3) level = 30 + static_cast<int>(noise % 60);
      level += static_cast<int>(noise >> 28) - 8;
      level = std::min(255, std::max(0, level));
      BYTE channel[3];
      for (int c = 0; c < 3; ++c) channel[c] = static_cast<BYTE>(std::min(255, level + 9 * c));
      if (page.bitCount == 1) {
        if (level >= 128) row[x / 8] |= static_cast<BYTE>(0x80 >> (x % 8));
      } else if (page.bitCount == 16) {
        const unsigned packed = (channel[2] >> 3) << 10 | (channel[1] >> 3) << 5 | channel[0] >> 3;
        row[2 * x] = static_cast<BYTE>(packed);
        row[2 * x + 1] = static_cast<BYTE>(packed >> 8);
      } else {
        std::memcpy(row + x * bytes, channel, std::min<size_t>(bytes, 3));
      }
    }
  }
}

std::vector<BYTE> MakeBmpFile(const PageSpec& page) {
  std::vector<BYTE> file(FileBytes(page));
  FillBmpFile(page, file.data());
  return file;
}

HRESULT MakePageStream(const PageSpec& page, IStream** stream) {
  *stream = nullptr;
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, FileBytes(page));
  if (block == nullptr) return E_OUTOFMEMORY;
  void* bytes = GlobalLock(block);
  if (bytes == nullptr) {
    GlobalFree(block);
    return E_OUTOFMEMORY;
  }
  FillBmpFile(page, static_cast<BYTE*>(bytes));
  GlobalUnlock(block);
  // The stream takes the block over and frees it when it is released.
  const HRESULT hr = CreateStreamOnHGlobal(block, TRUE, stream);
  if (FAILED(hr)) GlobalFree(block);
  return hr;
}

HRESULT MakeMemoryStream(ULONG64 reserve, IStream** stream) {
  *stream = nullptr;
  ComRef<IStream> made;
  HRESULT hr = CreateStreamOnHGlobal(nullptr, TRUE, made.put());
  if (FAILED(hr)) return hr;
  if (reserve > 0) {
    ULARGE_INTEGER size;
    size.QuadPart = reserve;
    hr = made->SetSize(size);
    if (FAILED(hr)) return hr;
  }
  *stream = made.release();
  return S_OK;
}

HRESULT MakeFileStream(const std::wstring& path, IStream** stream) {
  return SHCreateStreamOnFileEx(path.c_str(), STGM_CREATE | STGM_READWRITE | STGM_SHARE_DENY_WRITE,
                                FILE_ATTRIBUTE_NORMAL, TRUE, nullptr, stream);
}

TempFile::TempFile(const wchar_t* stem) {
  wchar_t folder[MAX_PATH];
  const DWORD n = GetTempPathW(MAX_PATH, folder);
  path_.assign(folder, n > 0 && n < MAX_PATH ? n : 0);
  path_ += stem;
  path_ += L"-" + std::to_wstring(GetCurrentProcessId()) + L".bmp";
}

TempFile::~TempFile() { DeleteFileW(path_.c_str()); }

HRESULT StreamSize(IStream* stream, ULONG64* size) {
  STATSTG stat = {};
  const HRESULT hr = stream->Stat(&stat, STATFLAG_NONAME);
  if (FAILED(hr)) return hr;
  *size = stat.cbSize.QuadPart;
  return S_OK;
}

HRESULT WriteInPieces(IStream* stream, const BYTE* data, size_t size, size_t piece) {
  HRESULT hr = S_OK;
  for (size_t done = 0; done < size; done += piece) {
    const ULONG n = static_cast<ULONG>(std::min(piece, size - done));
    ULONG written = 0;
    hr = stream->Write(data + done, n, &written);
    if (FAILED(hr)) return hr;
    if (written != n) return STG_E_MEDIUMFULL;
  }
  return hr;
}

MemoryFigures ReadMemoryFigures() {
  PROCESS_MEMORY_COUNTERS counters = {};
  counters.cb = sizeof counters;
  MemoryFigures figures;
  if (GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) {
    figures.workingSet = counters.WorkingSetSize;
    figures.peakWorkingSet = counters.PeakWorkingSetSize;
    figures.pagefile = counters.PagefileUsage;
  }
  return figures;
}

const std::vector<PageSpec>& AllPages() {
  static const std::vector<PageSpec> pages = {
      {"grey150", 1240, 1754, 8, 150},          // A4, 150 dpi: 2.2 MB
      {"grey300", 2480, 3508, 8, 300},          // A4, 300 dpi: 8.7 MB
      {"grey600half", 4960, 3508, 8, 600},      // half an A4 at 600 dpi: 17.4 MB
      {"grey600", 4960, 7016, 8, 600},          // A4, 600 dpi: 34.8 MB
      {"grey1200", 9920, 14032, 8, 1200},       // A4, 1200 dpi: 139 MB
      {"colour150", 1240, 1754, 24, 150},       // A4, 150 dpi: 6.5 MB
      {"colour300", 2480, 3508, 24, 300},       // A4, 300 dpi: 26.1 MB
      {"colour600", 4960, 7016, 24, 600},       // A4, 600 dpi: 104.4 MB
      {"colour600legal", 5100, 8400, 24, 600},  // US legal, 600 dpi: 128.5 MB
      {"mono600", 4960, 7016, 1, 600},          // A4, 600 dpi, 1-bit: 4.4 MB
      {"colour16_300", 2480, 3508, 16, 300},    // A4, 300 dpi, 16-bit: 17.4 MB
      {"colour32_300", 2480, 3508, 32, 300},    // A4, 300 dpi, 32-bit: 34.8 MB
  };
  return pages;
}

std::vector<PageSpec> PagesNamed(std::initializer_list<const char*> names) {
  std::vector<PageSpec> pages;
  for (const char* name : names) {
    if (const PageSpec* page = FindPage(name)) pages.push_back(*page);
  }
  return pages;
}

const std::vector<PageSpec>& Pages() {
  static const std::vector<PageSpec> pages = PagesNamed({"grey300", "grey600", "colour300"});
  return pages;
}

const PageSpec* FindPage(const std::string& name) {
  for (const PageSpec& page : AllPages()) {
    if (name == page.name) return &page;
  }
  return nullptr;
}

std::wstring BesideProgram(const wchar_t* name) {
  wchar_t self[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring path(self, n > 0 && n < MAX_PATH ? n : 0);
  return path.substr(0, path.find_last_of(L'\\') + 1) + name;
}

bool Options::Wants(const PageSpec& page) const {
  if (pages.empty()) return true;
  return std::find(pages.begin(), pages.end(), page.name) != pages.end();
}

bool Options::Runs(const char* name) const {
  return rest.empty() || std::find(rest.begin(), rest.end(), name) != rest.end();
}

bool Options::NamesOnly(std::initializer_list<const char*> cases) const {
  for (const std::string& arg : rest) {
    if (std::find(cases.begin(), cases.end(), arg) == cases.end()) {
      std::fprintf(stderr, "unknown argument: %s\n", arg.c_str());
      return false;
    }
  }
  return true;
}

Options ParseOptions(int argc, char** argv) {
  Options options;
  options.dll = BesideProgram(L"Vantrel.dll");
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--runs" && hasValue) {
      options.runs = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--slow" && hasValue) {
      options.slowRuns = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--page" && hasValue) {
      options.pages.push_back(argv[++i]);
    } else if (arg == "--dll" && hasValue) {
      const char* path = argv[++i];
      const int n = MultiByteToWideChar(CP_ACP, 0, path, -1, nullptr, 0);
      options.dll.assign(n > 0 ? n - 1 : 0, L'\0');
      if (n > 1) MultiByteToWideChar(CP_ACP, 0, path, -1, &options.dll[0], n);
    } else {
      options.rest.push_back(arg);
    }
  }
  return options;
}

std::string PieceName(size_t piece, size_t fileBytes) {
  if (piece >= fileBytes) return "page";
  if (piece >= 1024 * 1024 && piece % (1024 * 1024) == 0) {
    return std::to_string(piece / (1024 * 1024)) + " MiB";
  }
  if (piece >= 1024 && piece % 1024 == 0) return std::to_string(piece / 1024) + " KiB";
  return "row " + std::to_string(piece);
}

std::string FormatMs(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", seconds * 1000.0);
  return text;
}

std::string FormatRatio(double numerator, double denominator) {
  if (denominator <= 0.0) return "-";
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", numerator / denominator);
  return text;
}

std::string FormatHr(HRESULT hr) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(hr));
  return text;
}

}  // namespace bench
