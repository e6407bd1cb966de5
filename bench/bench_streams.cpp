// The platform's cost of a page written in pieces into the kinds of stream
// the filter meets: a memory stream from CreateStreamOnHGlobal (empty, or
// with its size set to the page's size first) and a file stream. No code of
// the product runs here.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "bench_support.h"

using namespace bench;

namespace {

enum class Target { MemoryEmpty, MemorySized, File };

const char* TargetName(Target t) {
  switch (t) {
    case Target::MemoryEmpty: return "memory, empty";
    case Target::MemorySized: return "memory, SetSize first";
    case Target::File: return "file";
  }
  return "?";
}

HRESULT RunPieces(const PageSpec& page, const std::vector<BYTE>& file,
                  Target target, size_t piece, int runs, Stats* stats) {
  ComRef<IStream> stream;
  TempFile temp(L"vantrel-bench-streams");
  auto prepare = [&]() -> HRESULT {
    stream.Reset();
    switch (target) {
      case Target::MemoryEmpty: return MakeMemoryStream(0, stream.Put());
      case Target::MemorySized: return MakeMemoryStream(file.size(), stream.Put());
      case Target::File: return MakeFileStream(temp.Path(), stream.Put());
    }
    return E_UNEXPECTED;
  };
  auto body = [&]() -> HRESULT {
    return WriteInPieces(stream.Get(), file.data(), file.size(), piece);
  };
  (void)page;
  return Measure(runs, prepare, body, stats);
}

}  // namespace

int main(int argc, char** argv) {
  ComSession com;
  const Options options = ParseOptions(argc, argv);
  std::printf("Platform: one page written in pieces into a stream (no product code)\n");
  std::printf("%-10s %-22s %9s %7s %5s %10s %10s %10s\n", "page", "stream",
              "piece", "writes", "runs", "min ms", "median ms", "MB/s");
  for (const PageSpec& page : Pages()) {
    if (!options.Wants(page)) continue;
    const std::vector<BYTE> file = MakeBmpFile(page);
    const size_t pieces[] = {RowStride(page), 64 * 1024, 256 * 1024,
                             1024 * 1024, file.size()};
    for (Target target : {Target::MemoryEmpty, Target::MemorySized, Target::File}) {
      for (size_t piece : pieces) {
        const size_t writes = (file.size() + piece - 1) / piece;
        // An empty memory stream grows by each write that passes the end of
        // its block (blocks come in 64 KiB steps here): small pieces cost
        // seconds per page, so those run once.
        int runs = options.runs;
        const size_t growths = file.size() / std::max<size_t>(piece, 64 * 1024);
        if (target == Target::MemoryEmpty && growths > 16) runs = 1;
        Stats stats;
        const HRESULT hr = RunPieces(page, file, target, piece, runs, &stats);
        if (FAILED(hr)) {
          std::printf("%-10s %-22s %9s failed %s\n", page.name, TargetName(target),
                      PieceName(piece, file.size()).c_str(), FormatHr(hr).c_str());
          continue;
        }
        std::printf("%-10s %-22s %9s %7zu %5d %10s %10s %10.0f\n", page.name,
                    TargetName(target), PieceName(piece, file.size()).c_str(), writes,
                    stats.runs, FormatMs(stats.min).c_str(), FormatMs(stats.median).c_str(),
                    file.size() / 1e6 / stats.min);
        std::fflush(stdout);
      }
    }
  }
  return 0;
}
