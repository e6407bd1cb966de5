// Image adjustment against its floors, and the filter's peak memory.
//
//   copy     AdjustImage on the 8-bit pages against a plain copy of the same
//            file from one memory stream to another.
//   gdiplus  AdjustImage on the 24-bit page against the GDI+ floor: decode,
//            one draw through the colour matrix, one read lock.
//   memory   peak memory of a fresh process that plays one transfer through
//            the filter (filter_transfer.h), for pages of every depth the
//            filter takes, adjusted (brightness 200) and unadjusted (0/0),
//            into a file stream and into an empty memory stream; beside them
//            the GDI+ floor's.
//
// Usage: bench_adjust.exe [copy] [gdiplus] [memory] [--runs N] [--slow N]
//                         [--page NAME]... [--dll PATH]
// With no case named, all three run. Brightness is 200 and contrast 0
// throughout but for the unadjusted rows, as an application brightening its
// scans would ask. The memory case loads the Vantrel.dll beside the program,
// or the build --dll names (bench_support.h).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "adjust.h"
#include "bench_support.h"
#include "filter_transfer.h"
#include "gdiplus_floor.h"
#include "process_start.h"

using namespace bench;

namespace {

const LONG kBrightness = 200;
const LONG kContrast = 0;

// The application's stream that receives the adjusted page.
enum class Destination { MemorySized, MemoryEmpty, File };

// Each destination's name in the printed tables and on a child's command
// line, in the order of the enumeration.
const struct {
  const char* name;
  const char* arg;
} kDestinations[] = {{"memory, sized", "sized"}, {"memory, empty", "empty"}, {"file", "file"}};

const char* DestinationName(Destination d) { return kDestinations[static_cast<int>(d)].name; }
const char* DestinationArg(Destination d) { return kDestinations[static_cast<int>(d)].arg; }

bool ParseDestination(const std::string& arg, Destination* d) {
  for (size_t i = 0; i < std::size(kDestinations); ++i) {
    if (arg == kDestinations[i].arg) {
      *d = static_cast<Destination>(i);
      return true;
    }
  }
  return false;
}

// A sized memory stream already has room for the page (its size set to the
// page's size, as a stream reused from an earlier page would have); an empty
// one grows with every write that passes its end.
HRESULT MakeDestination(Destination d, ULONG64 pageBytes, const TempFile& temp, IStream** stream) {
  switch (d) {
    case Destination::MemorySized: return MakeMemoryStream(pageBytes, stream);
    case Destination::MemoryEmpty: return MakeMemoryStream(0, stream);
    case Destination::File: return MakeFileStream(temp.Path(), stream);
  }
  return E_UNEXPECTED;
}

// A block from the process heap, not zeroed, with one owner.
class HeapBlock {
 public:
  explicit HeapBlock(size_t size)
      : data_(static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), 0, size))) {}
  HeapBlock(const HeapBlock&) = delete;
  HeapBlock& operator=(const HeapBlock&) = delete;
  ~HeapBlock() {
    if (data_ != nullptr) HeapFree(GetProcessHeap(), 0, data_);
  }
  BYTE* get() const { return data_; }

 private:
  BYTE* data_;
};

HRESULT Rewind(IStream* stream) {
  LARGE_INTEGER zero = {};
  return stream->Seek(zero, STREAM_SEEK_SET, nullptr);
}

// The plain copy: one Read of the whole file into a heap block, then the
// headers in one Write and, with `perRow`, each pixel row in a Write of its
// own (the stream calls the product's writers make), else the pixels in one.
HRESULT CopyPage(const PageSpec& page, IStream* source, IStream* destination, bool perRow) {
  const DWORD fileBytes = FileBytes(page);
  HeapBlock block(fileBytes);
  if (block.get() == nullptr) return E_OUTOFMEMORY;
  HRESULT hr = Rewind(source);
  if (FAILED(hr)) return hr;
  ULONG read = 0;
  hr = source->Read(block.get(), fileBytes, &read);
  if (FAILED(hr)) return hr;
  if (read != fileBytes) return E_FAIL;
  hr = Rewind(destination);
  if (FAILED(hr)) return hr;
  const DWORD offset = PixelOffset(page);
  const size_t piece = perRow ? RowStride(page) : PixelBytes(page);
  hr = WriteInPieces(destination, block.get(), offset, offset);
  if (FAILED(hr)) return hr;
  return WriteInPieces(destination, block.get() + offset, PixelBytes(page), piece);
}

HRESULT Adjust(const PageSpec& page, IStream* source, IStream* destination) {
  ULONG64 written = 0;
  const HRESULT hr = AdjustImage(kBrightness, kContrast, source, destination, &written, 0, 0, 0, 0);
  if (FAILED(hr)) return hr;
  // Both paths give a file of the input's size for these pages.
  return written == FileBytes(page) ? S_OK : E_FAIL;
}

// The page's memory stream; says so on standard output when it cannot be made.
bool MakeSource(const PageSpec& page, ComRef<IStream>* source) {
  const HRESULT hr = MakePageStream(page, source->put());
  if (FAILED(hr)) std::printf("%-10s cannot make the page: %s\n", page.name, FormatHr(hr).c_str());
  return SUCCEEDED(hr);
}

void PrintVariantHeader() {
  std::printf("%-10s %-15s %-28s %5s %10s %10s %8s %8s\n", "page", "destination", "run", "runs",
              "min ms", "median ms", "x min", "x median");
}

void PrintVariant(const PageSpec& page, const char* destination, const Variant& v,
                  const Variant* reference) {
  if (FAILED(v.result)) {
    std::printf("%-10s %-15s %-28s failed %s\n", page.name, destination, v.name.c_str(),
                FormatHr(v.result).c_str());
    return;
  }
  std::string ratioMin = "";
  std::string ratioMedian = "";
  if (reference != nullptr && SUCCEEDED(reference->result)) {
    ratioMin = FormatRatio(v.stats.min, reference->stats.min);
    ratioMedian = FormatRatio(v.stats.median, reference->stats.median);
  }
  std::printf("%-10s %-15s %-28s %5d %10s %10s %8s %8s\n", page.name, destination, v.name.c_str(),
              v.stats.runs, FormatMs(v.stats.min).c_str(), FormatMs(v.stats.median).c_str(),
              ratioMin.c_str(), ratioMedian.c_str());
  std::fflush(stdout);
}

// Case 1: the 8-bit path against a copy of the same file.
void RunCopyCase(const Options& options) {
  std::printf("\n== AdjustImage (8-bit tone curve) against a plain copy of the same file\n");
  std::printf("   ratios: against the copy that writes one row per call (same stream calls)\n");
  PrintVariantHeader();
  for (const PageSpec& page : Pages()) {
    if (page.bitCount != 8 || !options.Wants(page)) continue;
    ComRef<IStream> source;
    if (!MakeSource(page, &source)) continue;
    TempFile temp(L"vantrel-bench-copy");
    for (Destination d : {Destination::MemorySized, Destination::File, Destination::MemoryEmpty}) {
      // An empty memory stream grows by every 64 KiB written: seconds per run.
      int runs = options.runs;
      if (d == Destination::MemoryEmpty) runs = FileBytes(page) < 16u << 20 ? options.slowRuns : 1;
      ComRef<IStream> destination;
      auto prepare = [&]() { return MakeDestination(d, FileBytes(page), temp, destination.put()); };
      auto finish = [&]() { destination.reset(); };
      std::vector<Variant> variants(3);
      variants[0].name = "copy, one write per row";
      variants[0].body = [&]() { return CopyPage(page, source.get(), destination.get(), true); };
      variants[1].name = "copy, one write";
      variants[1].body = [&]() { return CopyPage(page, source.get(), destination.get(), false); };
      variants[2].name = "AdjustImage";
      variants[2].body = [&]() { return Adjust(page, source.get(), destination.get()); };
      for (Variant& v : variants) {
        v.runs = runs;
        v.prepare = prepare;
        v.finish = finish;
      }
      // Warm-up round only where a run is quick.
      RunSideBySide(&variants, d != Destination::MemoryEmpty);
      for (const Variant& v : variants) PrintVariant(page, DestinationName(d), v, &variants[0]);
      std::printf("%-10s %-15s %-28s %5s %10s %10s %8s\n", page.name, DestinationName(d),
                  "AdjustImage / one-write copy", "", "", "",
                  FormatRatio(variants[2].stats.min, variants[1].stats.min).c_str());
    }
  }
}

// Compares AdjustImage's output (bottom-up BMP) with the floor's locked rows
// (top row first). Returns the number of differing bytes, or -1.
long long CompareWithFloor(const PageSpec& page, IStream* adjusted,
                           const std::vector<BYTE>& floorPixels, UINT floorStride) {
  const DWORD stride = RowStride(page);
  if (floorStride != stride || floorPixels.size() != PixelBytes(page)) return -1;
  std::vector<BYTE> file(FileBytes(page));
  if (FAILED(Rewind(adjusted))) return -1;
  ULONG read = 0;
  if (FAILED(adjusted->Read(file.data(), static_cast<ULONG>(file.size()), &read))) return -1;
  if (read != file.size()) return -1;
  long long differing = 0;
  for (LONG k = 0; k < page.height; ++k) {
    const BYTE* fileRow = file.data() + PixelOffset(page) + static_cast<size_t>(k) * stride;
    const BYTE* floorRow = floorPixels.data() + static_cast<size_t>(page.height - 1 - k) * stride;
    for (DWORD j = 0; j < stride; ++j) differing += fileRow[j] != floorRow[j];
  }
  return differing;
}

// Case 2: the colour-matrix path against the GDI+ floor.
void RunGdiplusCase(const Options& options) {
  std::printf("\n== AdjustImage (24-bit, colour matrix) against the GDI+ floor\n");
  std::printf(
      "   floor: decode the same stream, one draw through the same colour matrix into a\n"
      "   new bitmap, one read lock; GDI+ started outside the timing. AdjustImage starts\n"
      "   and shuts down GDI+ itself, as it does for every page.\n");
  PrintVariantHeader();
  for (const PageSpec& page : Pages()) {
    if (page.bitCount != 24 || !options.Wants(page)) continue;
    ComRef<IStream> source;
    if (!MakeSource(page, &source)) continue;
    TempFile temp(L"vantrel-bench-gdiplus");
    ComRef<IStream> destination;
    std::unique_ptr<GdiplusStarted> session;
    std::vector<FloorSteps> steps;

    std::vector<Variant> variants(4);
    Variant& floor = variants[0];
    floor.name = "GDI+ floor";
    floor.runs = options.slowRuns;
    floor.prepare = [&]() -> HRESULT {
      session.reset(new GdiplusStarted);
      return session->Ok() ? S_OK : E_FAIL;
    };
    floor.body = [&]() -> HRESULT {
      FloorSteps s;
      const HRESULT result =
          RunGdiplusFloor(source.get(), kBrightness, kContrast, &s, nullptr, nullptr);
      steps.push_back(s);  // the warm-up's steps too: only their minima are shown
      return result;
    };
    floor.finish = [&]() { session.reset(); };

    const Destination kinds[] = {Destination::MemorySized, Destination::File};
    for (int i = 0; i < 2; ++i) {
      Variant& v = variants[1 + i];
      const Destination d = kinds[i];
      v.name = std::string("AdjustImage, ") + DestinationName(d);
      v.runs = options.slowRuns;
      v.prepare = [&, d]() { return MakeDestination(d, FileBytes(page), temp, destination.put()); };
      v.body = [&]() { return Adjust(page, source.get(), destination.get()); };
      v.finish = [&]() { destination.reset(); };
    }
    Variant& startup = variants[3];
    startup.name = "GdiplusStartup + Shutdown";
    startup.runs = options.slowRuns;
    startup.body = [&]() -> HRESULT {
      GdiplusStarted started;
      return started.Ok() ? S_OK : E_FAIL;
    };

    RunSideBySide(&variants, true);
    for (const Variant& v : variants) PrintVariant(page, "", v, &floor);

    if (!steps.empty()) {
      FloorSteps best = steps.front();
      for (const FloorSteps& s : steps) {
        best.decode = std::min(best.decode, s.decode);
        best.draw = std::min(best.draw, s.draw);
        best.lock = std::min(best.lock, s.lock);
      }
      std::printf("%-10s floor steps (min): decode %s ms, draw %s ms, lock %s ms\n", page.name,
                  FormatMs(best.decode).c_str(), FormatMs(best.draw).c_str(),
                  FormatMs(best.lock).c_str());
    }

    // The empty memory stream: one run, it takes seconds.
    std::vector<Variant> empty(1);
    empty[0].name = "AdjustImage, memory, empty";
    empty[0].runs = 1;
    empty[0].prepare = [&]() {
      return MakeDestination(Destination::MemoryEmpty, 0, temp, destination.put());
    };
    empty[0].body = [&]() { return Adjust(page, source.get(), destination.get()); };
    RunSideBySide(&empty);
    PrintVariant(page, "", empty[0], &floor);

    // Same work: AdjustImage's pixels against the floor's.
    std::vector<BYTE> floorPixels;
    UINT floorStride = 0;
    HRESULT hr;
    {
      GdiplusStarted started;
      hr = RunGdiplusFloor(source.get(), kBrightness, kContrast, nullptr, &floorPixels,
                           &floorStride);
    }
    const long long differing =
        SUCCEEDED(hr) && SUCCEEDED(empty[0].result)
            ? CompareWithFloor(page, destination.get(), floorPixels, floorStride)
            : -1;
    destination.reset();
    if (differing < 0) {
      std::printf("%-10s could not compare AdjustImage's output with the floor's\n", page.name);
    } else {
      std::printf("%-10s AdjustImage's pixels against the floor's: %lld bytes differ\n", page.name,
                  differing);
    }
  }
}

// Case 4, in the child process. `prepare` makes what is not counted (the
// driver's page, the doubles, the filter) and `body` runs what is. Both run
// first on a small page of the same depth, so that every library the path
// needs is loaded and set up, then on the page, `body` between two readings
// of the process's memory. Prints the row: the peak working set above the
// working set just before `body`, and that less `notCounted` bytes (the
// application's own stream), in MB and in pages (the page's file size).
int MeasureMemory(const PageSpec& page, const std::string& row, ULONG64 notCounted,
                  const std::function<HRESULT(const PageSpec&)>& prepare,
                  const std::function<HRESULT()>& body) {
  const PageSpec small = {"small", 64, 64, page.bitCount, page.dpi};
  HRESULT hr = prepare(small);
  if (SUCCEEDED(hr)) hr = body();
  if (SUCCEEDED(hr)) hr = prepare(page);
  if (FAILED(hr)) {
    std::printf("%s failed before the measurement: %s\n", row.c_str(), FormatHr(hr).c_str());
    return 1;
  }
  const MemoryFigures before = ReadMemoryFigures();
  hr = body();
  const MemoryFigures after = ReadMemoryFigures();
  if (FAILED(hr)) {
    std::printf("%s failed: %s\n", row.c_str(), FormatHr(hr).c_str());
    return 1;
  }
  const double file = FileBytes(page);
  const double peak = static_cast<double>(after.peakWorkingSet) - before.workingSet;
  const double own = peak - notCounted;
  std::printf(
      "%s %8.1f %9.1f %8.1f %9.1f %7.2f%s\n", row.c_str(), file / 1e6, peak / 1e6, notCounted / 1e6,
      own / 1e6, own / file,
      after.peakWorkingSet <= before.peakWorkingSet ? "  (peak not above the start's)" : "");
  return 0;
}

std::string MemoryRow(const PageSpec& page, const char* run, const char* destination) {
  char text[96];
  std::snprintf(text, sizeof text, "%-13s %4d %-15s %-14s", page.name, page.bitCount, run,
                destination);
  return text;
}

// One page through the filter at `dll`, the driver writing 64 KiB pieces,
// into the application's file stream or empty memory stream.
int FilterMemoryChild(const std::wstring& dll, const PageSpec& page, Mode mode, Destination d) {
  ComInitializer com;
  FilterLibrary library;
  if (!library.Load(dll)) return 1;
  ScanFolder folder;
  const std::wstring destination = d == Destination::File ? folder.Path() : std::wstring();
  std::vector<DriverPage> driverPages;
  std::unique_ptr<Transfer> transfer;
  auto prepare = [&](const PageSpec& which) {
    transfer.reset();
    driverPages = DriverPages(which);
    transfer.reset(new Transfer(library, driverPages, mode, destination, 64 * 1024));
    return transfer->Prepare();
  };
  // At the end the application's memory stream holds the page (Run checks
  // its size): that much of the peak is the application's, not the filter's.
  const ULONG64 notCounted = d == Destination::File ? 0 : FileBytes(page);
  return MeasureMemory(page, MemoryRow(page, ModeName(mode), DestinationName(d)), notCounted,
                       prepare, [&]() { return transfer->Run(); });
}

// The naive figure: the page in the platform's memory stream, handed to GDI+
// whole (the GDI+ floor), without an output stream.
int FloorMemoryChild(const PageSpec& page) {
  ComInitializer com;
  GdiplusStarted started;
  if (!started.Ok()) return 1;
  PageSpec which = page;
  auto prepare = [&](const PageSpec& next) {
    which = next;
    return S_OK;
  };
  return MeasureMemory(page, MemoryRow(page, "GDI+ floor", "-"), 0, prepare, [&]() {
    ComRef<IStream> source;
    HRESULT hr = MakePageStream(which, source.put());
    if (SUCCEEDED(hr)) {
      hr = RunGdiplusFloor(source.get(), kBrightness, kContrast, nullptr, nullptr, nullptr);
    }
    return hr;
  });
}

// Runs this program again with `arguments`; hands back what it printed and
// its exit code. A row of a memory stream growing by copying takes minutes.
HRESULT RunChild(const std::wstring& arguments, std::string* output, DWORD* exitCode) {
  wchar_t self[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return HRESULT_FROM_WIN32(GetLastError());
  testbench::ProcessStart start;
  start.commandLine = L"\"" + std::wstring(self) + L"\" " + arguments;
  start.startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  const TempFile outputFile(L"vantrel-bench-child");
  // Not inside HRESULT_FROM_WIN32: MinGW-w64's macro evaluates its argument
  // twice, and the child would run twice.
  const DWORD error =
      testbench::RunWithOutputFile(start, outputFile.Path(), 60 * 60 * 1000, exitCode, output);
  return HRESULT_FROM_WIN32(error);
}

// The pages of case 4: every depth the filter takes.
const std::vector<PageSpec>& MemoryPages() {
  static const std::vector<PageSpec> pages = PagesNamed(
      {"mono600", "grey300", "grey600", "colour16_300", "colour300", "colour600", "colour32_300"});
  return pages;
}

// Case 4: one fresh process per page, path and destination.
void RunMemoryCase(const Options& options) {
  std::printf("\n== Peak memory of a process playing one transfer through the filter\n");
  FilterLibrary library;
  if (!LoadFilter(options.dll, "   filter", &library)) return;
  std::printf(
      "   PeakWorkingSetSize at the end minus WorkingSetSize just before the transfer, in\n"
      "   a fresh process per row (GetProcessMemoryInfo), after a transfer of a small page\n"
      "   of the same depth by the same path. The driver's page is made before and not\n"
      "   counted; it writes 64 KiB pieces. 'filter MB': the peak less 'app MB', the\n"
      "   application's memory stream at the end (where the peak comes before the page is\n"
      "   written out, this takes off more than the stream held then). 'pages': 'filter\n"
      "   MB' over the page's file size.\n"
      "   GDI+ floor: the page in the platform's memory stream (counted), decoded, drawn\n"
      "   through the colour matrix into a new bitmap, no output.\n");
  std::printf("%-13s %4s %-15s %-14s %8s %9s %8s %9s %7s\n", "page", "bits", "run", "destination",
              "page MB", "peak MB", "app MB", "filter MB", "pages");
  for (const PageSpec& page : MemoryPages()) {
    if (!options.Wants(page)) continue;
    std::vector<std::string> kinds;
    for (const char* run : {"adjusted", "unadjusted"}) {
      for (Destination d : {Destination::File, Destination::MemoryEmpty}) {
        kinds.push_back(std::string(run) + " " + DestinationArg(d));
      }
    }
    if (page.bitCount > 8) kinds.push_back("floor");
    for (const std::string& kind : kinds) {
      const std::string argument = std::string("--memory-child ") + page.name + " " + kind;
      std::string output;
      DWORD exitCode = 0;
      const HRESULT hr = RunChild(
          std::wstring(argument.begin(), argument.end()) + L" --dll \"" + options.dll + L"\"",
          &output, &exitCode);
      // The child's lines end in CR LF already.
      output.erase(std::remove(output.begin(), output.end(), '\r'), output.end());
      std::printf("%s", output.c_str());
      if (FAILED(hr) || exitCode != 0) {
        std::printf("%-13s %s: the child ended with %s, exit code 0x%08lX\n", page.name,
                    kind.c_str(), FormatHr(hr).c_str(), static_cast<unsigned long>(exitCode));
      }
      std::fflush(stdout);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = ParseOptions(argc, argv);
  const std::vector<std::string>& child = options.rest;
  if ((child.size() == 3 || child.size() == 4) && child[0] == "--memory-child") {
    const PageSpec* page = FindPage(child[1]);
    if (page == nullptr) return 2;
    if (child.size() == 3) return child[2] == "floor" ? FloorMemoryChild(*page) : 2;
    Destination d;
    if (!ParseDestination(child[3], &d) || d == Destination::MemorySized) return 2;
    if (child[2] != "adjusted" && child[2] != "unadjusted") return 2;
    const Mode mode = child[2] == "adjusted" ? Mode::Adjust : Mode::Count;
    return FilterMemoryChild(options.dll, *page, mode, d);
  }
  if (!options.NamesOnly({"copy", "gdiplus", "memory"})) return 2;
  ComInitializer com;
  std::printf("Brightness %ld, contrast %ld; --runs %d, --slow %d\n",
              static_cast<long>(kBrightness), static_cast<long>(kContrast), options.runs,
              options.slowRuns);
  if (options.Runs("copy")) RunCopyCase(options);
  if (options.Runs("gdiplus")) RunGdiplusCase(options);
  if (options.Runs("memory")) RunMemoryCase(options);
  return 0;
}
