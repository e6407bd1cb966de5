// A whole page through the filter, as the WIA service drives it: a build of
// Vantrel.dll is loaded and its class factory obtained through
// DllGetClassObject, the filter gets a scan item and the application's
// callback, and a driver asks for a stream, writes the page's BMP in pieces
// with a progress message after each, and ends the page with the
// end-of-stream message. The item, the application and the driver are the
// test doubles of testbench/doubles (filter_transfer.h).
//
// transfer  For each page, application stream (memory: CreateStreamOnHGlobal;
//           file: a file stream) and piece size, three transfers run side by
//           side:
//             brightness 200  the page is buffered, adjusted and written at
//                             its end
//             0/0             brightness and contrast 0: the driver's pieces
//                             pass through the filter stream
//             no filter       the driver writes the same pieces straight into
//                             the application's stream, without the filter
// buffer    The cost of buffering the page as it grows: pages from 2 to 104 MB
//           at brightness 200 into a file, the driver writing 64 KiB pieces,
//           1 MiB pieces or the whole page at once, through two builds of the
//           filter side by side: the filter (NEW, the page in the filter's
//           page buffer stream) and the Vantrel-hglobal.dll beside the
//           program (OLD, the same code with the page in a
//           CreateStreamOnHGlobal stream).
// appstream The application's stream as an application hands it out: pages
//           from 2 to 140 MB, grey and colour, the driver writing 64 KiB
//           pieces, into a file stream and into the platform's memory stream
//           (CreateStreamOnHGlobal, empty), side by side; adjusted
//           (brightness 200: the filter's writers write the page) and
//           unadjusted (0/0: the driver's pieces pass through the filter),
//           and, for pages up to 35 MB, the same pieces without the filter;
//           for every page the floor: the same pieces without the filter
//           into a memory stream the application sized to the page first.
//
// Usage: bench_filter.exe [transfer] [buffer] [appstream] [--runs N] [--slow N]
//                         [--page NAME]... [--dll PATH]
// With no case named, all run. The filter is the Vantrel.dll beside the
// program, or the build --dll names (bench_support.h).
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench_support.h"
#include "filter_transfer.h"

namespace {

using bench::Mode;
using bench::ModeName;
using bench::ScanFolder;
using bench::Transfer;

void RunTransferCase(const bench::Options& options, const FilterLibrary& library,
                     const ScanFolder& folder) {
  std::printf(
      "A page through the filter, time per page; ratios against 'no filter'\n"
      "(the same pieces straight into the application's stream) and against '0/0'.\n");
  std::printf("%-10s %-6s %8s %-15s %5s %10s %10s %8s %8s %8s\n", "page", "app", "piece", "run",
              "runs", "min ms", "median ms", "x nofilt", "x median", "x 0/0");
  const ULONG pieces[] = {64 * 1024, 256 * 1024, 1024 * 1024, 0};
  for (const bench::PageSpec& page : bench::Pages()) {
    if (!options.Wants(page)) continue;
    const std::vector<DriverPage> driverPages = bench::DriverPages(page);
    const size_t fileBytes = driverPages[0].bytes.size();
    for (bool onDisk : {false, true}) {
      for (ULONG piece : pieces) {
        if (piece == 0) piece = static_cast<ULONG>(fileBytes);
        // A memory stream of the platform grows by each write that passes
        // its block's end (64 KiB steps): with small pieces into the
        // application's memory stream, or with the adjusted page's rows
        // written into it, a run takes seconds, so those run once.
        const bool growing = fileBytes / piece > 16;
        const Mode modes[] = {Mode::Straight, Mode::Count, Mode::Adjust};
        std::vector<Transfer> transfers;
        std::vector<bench::Variant> variants(3);
        transfers.reserve(3);
        for (int i = 0; i < 3; ++i) {
          transfers.emplace_back(library, driverPages, modes[i],
                                 onDisk ? folder.Path() : std::wstring(), piece);
          bench::Variant& v = variants[i];
          Transfer& t = transfers.back();
          v.name = ModeName(modes[i]);
          const bool slow = !onDisk && (growing || modes[i] == Mode::Adjust);
          v.runs = slow ? 1 : options.slowRuns;
          v.prepare = [&t]() { return t.Prepare(); };
          v.body = [&t]() { return t.Run(); };
          v.finish = [&t]() { t.Finish(); };
        }
        // A warm-up round where every run is quick.
        bool quick = true;
        for (const bench::Variant& v : variants) quick = quick && v.runs > 1;
        bench::RunSideBySide(&variants, quick);
        for (const bench::Variant& v : variants) {
          const std::string pieceName = bench::PieceName(piece, fileBytes);
          if (FAILED(v.result)) {
            std::printf("%-10s %-6s %8s %-15s failed %s\n", page.name, onDisk ? "file" : "memory",
                        pieceName.c_str(), v.name.c_str(), bench::FormatHr(v.result).c_str());
            continue;
          }
          const bench::Variant& straight = variants[0];
          const bench::Variant& count = variants[1];
          std::printf("%-10s %-6s %8s %-15s %5d %10s %10s %8s %8s %8s\n", page.name,
                      onDisk ? "file" : "memory", pieceName.c_str(), v.name.c_str(), v.stats.runs,
                      bench::FormatMs(v.stats.min).c_str(), bench::FormatMs(v.stats.median).c_str(),
                      bench::FormatRatio(v.stats.min, straight.stats.min).c_str(),
                      bench::FormatRatio(v.stats.median, straight.stats.median).c_str(),
                      bench::FormatRatio(v.stats.min, count.stats.min).c_str());
          std::fflush(stdout);
        }
      }
    }
  }
}

// The pages of the application's stream case, 2 to 140 MB, and of the buffer
// case, the same but for three (2 to 104 MB).
const std::vector<bench::PageSpec>& LargePages() {
  static const std::vector<bench::PageSpec> pages =
      bench::PagesNamed({"grey150", "grey300", "grey600half", "grey600", "grey1200", "colour150",
                         "colour300", "colour600", "colour600legal"});
  return pages;
}

bool InBufferCase(const bench::PageSpec& page) {
  for (const char* name : {"grey1200", "colour150", "colour600legal"}) {
    if (std::strcmp(page.name, name) == 0) return false;
  }
  return true;
}

double MsPerMb(double seconds, size_t bytes) { return seconds * 1000.0 / (bytes / 1e6); }

std::string Format(const char* format, double value) {
  char text[32];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

void RunBufferCase(const bench::Options& options, const FilterLibrary& newLibrary,
                   const FilterLibrary& oldLibrary, const ScanFolder& folder) {
  std::printf(
      "\nBuffering the page: brightness 200, the application's stream a file; minimum\n"
      "time per page (runs in brackets) and per MB (10^6 bytes), OLD (the page in a\n"
      "CreateStreamOnHGlobal stream) and NEW (the page buffer stream) side by side.\n"
      "'x page' is the time over the same build's whole-page time; for NEW, over\n"
      "whole-page runs ('page ms') made in turn with the row's own runs.\n");
  std::printf("%-12s %8s %8s | %12s %8s %7s | %12s %8s %9s %7s | %8s\n", "page", "MB", "piece",
              "OLD ms", "ms/MB", "x page", "NEW ms", "ms/MB", "page ms", "x page", "OLD/NEW");
  struct Row {
    const char* page;
    bool colour;
    size_t bytes;
    double small = 0, whole = 0;  // NEW at 64 KiB and whole-page pieces
  };
  std::vector<Row> rows;
  for (const bench::PageSpec& page : LargePages()) {
    if (!options.Wants(page) || !InBufferCase(page)) continue;
    const std::vector<DriverPage> driverPages = bench::DriverPages(page);
    const size_t fileBytes = driverPages[0].bytes.size();
    const double mb = fileBytes / 1e6;
    Row row{page.name, page.bitCount != 8, fileBytes};
    // Whole pages first, so that the other rows can be set against them. Each
    // row of smaller pieces also runs NEW with whole pages in turn with its
    // own runs: NEW's 'x page' is taken against those, so that a change of
    // the machine's load between rows does not enter the ratio.
    const ULONG pieces[] = {static_cast<ULONG>(fileBytes), 1024 * 1024, 64 * 1024};
    double oldWhole = 0;
    for (ULONG piece : pieces) {
      const bool whole = piece == fileBytes;
      Transfer oldTransfer(oldLibrary, driverPages, Mode::Adjust, folder.Path(), piece);
      Transfer newTransfer(newLibrary, driverPages, Mode::Adjust, folder.Path(), piece);
      Transfer newWholeTransfer(newLibrary, driverPages, Mode::Adjust, folder.Path(),
                                static_cast<ULONG>(fileBytes));
      Transfer* transfers[] = {&oldTransfer, &newTransfer, &newWholeTransfer};
      std::vector<bench::Variant> variants(whole ? 2 : 3);
      for (size_t i = 0; i < variants.size(); ++i) {
        bench::Variant& v = variants[i];
        Transfer* t = transfers[i];
        v.name = i == 0 ? "OLD" : "NEW";
        v.prepare = [t]() { return t->Prepare(); };
        v.body = [t]() { return t->Run(); };
        v.finish = [t]() { t->Finish(); };
        // NEW runs a few times; fewer on the largest page.
        v.runs = fileBytes > 50000000 ? options.slowRuns : options.runs;
      }
      // The old build grows its block by copying: above 16 pieces a run
      // takes seconds to minutes, and runs once.
      variants[0].runs = fileBytes / piece > 16 ? 1 : options.slowRuns;
      bench::RunSideBySide(&variants, variants[0].runs > 1);
      const std::string pieceName = bench::PieceName(piece, fileBytes);
      bool failed = false;
      for (const bench::Variant& v : variants) failed = failed || FAILED(v.result);
      if (failed) {
        std::printf("%-12s %8.1f %8s failed:", page.name, mb, pieceName.c_str());
        for (const bench::Variant& v : variants) {
          std::printf(" %s %s", v.name.c_str(), bench::FormatHr(v.result).c_str());
        }
        std::printf("\n");
        continue;
      }
      const double oldTime = variants[0].stats.min;
      const double newTime = variants[1].stats.min;
      const double newReference = whole ? newTime : variants[2].stats.min;
      if (whole) oldWhole = oldTime;
      if (piece == 64 * 1024) {
        row.small = newTime;
        row.whole = newReference;
      }
      const std::string oldMs =
          bench::FormatMs(oldTime) + " (" + std::to_string(variants[0].stats.runs) + ")";
      const std::string newMs =
          bench::FormatMs(newTime) + " (" + std::to_string(variants[1].stats.runs) + ")";
      std::printf(
          "%-12s %8.1f %8s | %12s %8s %7s | %12s %8s %9s %7s | %8s\n", page.name, mb,
          pieceName.c_str(), oldMs.c_str(), Format("%.1f", MsPerMb(oldTime, fileBytes)).c_str(),
          bench::FormatRatio(oldTime, oldWhole).c_str(), newMs.c_str(),
          Format("%.2f", MsPerMb(newTime, fileBytes)).c_str(),
          bench::FormatMs(newReference).c_str(), bench::FormatRatio(newTime, newReference).c_str(),
          bench::FormatRatio(oldTime, newTime).c_str());
      std::fflush(stdout);
    }
    rows.push_back(row);
  }
  // The targets: every page within 1.3x of its whole-page time at 64 KiB
  // pieces, and the time per MB at 64 KiB pieces flat within 1.3x from the
  // smallest page of a kind to the largest.
  std::printf("\nNEW at 64 KiB pieces:\n");
  for (bool colour : {false, true}) {
    double lowest = 0, highest = 0, worst = 0;
    const Row* first = nullptr;
    const Row* last = nullptr;
    for (const Row& row : rows) {
      if (row.colour != colour || row.small <= 0 || row.whole <= 0) continue;
      const double perMb = MsPerMb(row.small, row.bytes);
      if (!first || row.bytes < first->bytes) first = &row;
      if (!last || row.bytes > last->bytes) last = &row;
      lowest = lowest == 0 ? perMb : std::min(lowest, perMb);
      highest = std::max(highest, perMb);
      worst = std::max(worst, row.small / row.whole);
    }
    if (!first) continue;
    std::printf(
        "  %-6s worst x whole page %.2f; ms/MB %.2f (%s) to %.2f (%s), %.2fx; spread "
        "max/min %.2fx\n",
        colour ? "colour" : "grey", worst, MsPerMb(first->small, first->bytes), first->page,
        MsPerMb(last->small, last->bytes), last->page,
        MsPerMb(last->small, last->bytes) / MsPerMb(first->small, first->bytes), highest / lowest);
  }
}

void RunAppStreamCase(const bench::Options& options, const FilterLibrary& library,
                      const ScanFolder& folder) {
  std::printf(
      "\nThe application's stream: a file stream or the platform's memory stream, the\n"
      "driver writing 64 KiB pieces; minimum time per page (runs in brackets), the\n"
      "memory stream's time over the file stream's, and per MB (10^6 bytes).\n");
  std::printf("%-15s %7s %-15s | %12s %8s | %12s %8s | %8s\n", "page", "MB", "run", "file ms",
              "ms/MB", "memory ms", "ms/MB", "mem/file");
  struct Row {
    bool colour;
    Mode mode;
    size_t bytes;
    double perMb, ratio;
  };
  std::vector<Row> rows;
  const ULONG piece = 64 * 1024;
  for (const bench::PageSpec& page : LargePages()) {
    if (!options.Wants(page)) continue;
    const std::vector<DriverPage> driverPages = bench::DriverPages(page);
    const size_t fileBytes = driverPages[0].bytes.size();
    for (Mode mode : {Mode::Adjust, Mode::Count, Mode::Straight, Mode::Floor}) {
      // Without the filter the driver's own pieces grow the memory stream
      // piece by piece, whatever the filter does: minutes from 35 MB on.
      if (mode == Mode::Straight && fileBytes > 40000000) continue;
      Transfer onDisk(library, driverPages, mode, folder.Path(), piece);
      Transfer inMemory(library, driverPages, mode, std::wstring(), piece);
      Transfer* transfers[] = {&onDisk, &inMemory};
      std::vector<bench::Variant> variants(2);
      for (size_t i = 0; i < variants.size(); ++i) {
        Transfer* t = transfers[i];
        variants[i].name = i == 0 ? "file" : "memory";
        variants[i].prepare = [t]() { return t->Prepare(); };
        variants[i].body = [t]() { return t->Run(); };
        variants[i].finish = [t]() { t->Finish(); };
        variants[i].runs = fileBytes > 50000000 ? options.slowRuns : options.runs;
      }
      // Unadjusted, a memory stream that grows by copying at each of the
      // driver's pieces takes seconds to minutes: such a row keeps the one
      // run of its memory side. A quicker row runs again, as often as the
      // adjusted rows.
      const int runs = variants[1].runs;
      if (mode == Mode::Count || mode == Mode::Straight) variants[1].runs = 1;
      bench::RunSideBySide(&variants, false);
      if (variants[1].runs < runs && SUCCEEDED(variants[1].result) && variants[1].stats.min < 2.0) {
        variants[1].runs = runs;
        bench::RunSideBySide(&variants, false);
      }
      if (FAILED(variants[0].result) || FAILED(variants[1].result)) {
        std::printf("%-15s %7.1f %-15s failed: file %s, memory %s\n", page.name, fileBytes / 1e6,
                    ModeName(mode), bench::FormatHr(variants[0].result).c_str(),
                    bench::FormatHr(variants[1].result).c_str());
        continue;
      }
      const double file = variants[0].stats.min;
      const double memory = variants[1].stats.min;
      const std::string fileMs =
          bench::FormatMs(file) + " (" + std::to_string(variants[0].stats.runs) + ")";
      const std::string memoryMs =
          bench::FormatMs(memory) + " (" + std::to_string(variants[1].stats.runs) + ")";
      std::printf("%-15s %7.1f %-15s | %12s %8s | %12s %8s | %8s\n", page.name, fileBytes / 1e6,
                  ModeName(mode), fileMs.c_str(), Format("%.1f", MsPerMb(file, fileBytes)).c_str(),
                  memoryMs.c_str(), Format("%.1f", MsPerMb(memory, fileBytes)).c_str(),
                  bench::FormatRatio(memory, file).c_str());
      std::fflush(stdout);
      rows.push_back(
          Row{page.bitCount != 8, mode, fileBytes, MsPerMb(memory, fileBytes), memory / file});
    }
  }
  // The targets: the memory stream within 1.3x of the file stream for every
  // page, and its time per MB flat within 1.3x across the sizes: the largest
  // page's against the smallest's, and no page's above the smallest's by more.
  std::printf("\nInto the memory stream:\n");
  for (Mode mode : {Mode::Adjust, Mode::Count, Mode::Straight, Mode::Floor}) {
    for (bool colour : {false, true}) {
      const Row* smallest = nullptr;
      const Row* largest = nullptr;
      double highest = 0, worst = 0;
      for (const Row& row : rows) {
        if (row.colour != colour || row.mode != mode) continue;
        if (!smallest || row.bytes < smallest->bytes) smallest = &row;
        if (!largest || row.bytes > largest->bytes) largest = &row;
        highest = std::max(highest, row.perMb);
        worst = std::max(worst, row.ratio);
      }
      if (!smallest) continue;
      std::printf(
          "  %-6s %-15s worst memory/file %.2fx; ms/MB %.1f (%.0f MB) to %.1f (%.0f MB), "
          "%.2fx; highest over the smallest page's %.2fx\n",
          colour ? "colour" : "grey", ModeName(mode), worst, smallest->perMb, smallest->bytes / 1e6,
          largest->perMb, largest->bytes / 1e6, largest->perMb / smallest->perMb,
          highest / smallest->perMb);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  ComInitializer com;
  const bench::Options options = bench::ParseOptions(argc, argv);
  if (!options.NamesOnly({"transfer", "buffer", "appstream"})) return 2;
  FilterLibrary library;
  if (!bench::LoadFilter(options.dll, "filter", &library)) return 1;
  ScanFolder folder;
  if (options.Runs("transfer")) RunTransferCase(options, library, folder);
  if (options.Runs("buffer")) {
    FilterLibrary oldLibrary;
    const std::wstring oldPath = bench::BesideProgram(L"Vantrel-hglobal.dll");
    if (!bench::LoadFilter(oldPath, "OLD filter", &oldLibrary)) return 1;
    RunBufferCase(options, library, oldLibrary, folder);
  }
  if (options.Runs("appstream")) RunAppStreamCase(options, library, folder);
  return 0;
}
