// The platform's cost of a page written in pieces into the kinds of stream
// the filter meets: a memory stream from CreateStreamOnHGlobal (empty, or
// with its size set to the page's size first) and a file stream; beside them
// the filter's own page buffer stream, the only code of the product here.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "bench_support.h"
#include "page_buffer_stream.h"

using namespace bench;

namespace {

enum class Target { MemoryEmpty, MemorySized, MemoryReserving, File, PageBuffer };

const char* TargetName(Target t) {
  switch (t) {
    case Target::MemoryEmpty: return "memory, empty";
    case Target::MemorySized: return "memory, SetSize first";
    case Target::MemoryReserving: return "memory, doubling room";
    case Target::File: return "file";
    case Target::PageBuffer: return "page buffer (filter)";
  }
  return "?";
}

HRESULT SetStreamSize(IStream* stream, ULONG64 size) {
  ULARGE_INTEGER value;
  value.QuadPart = size;
  return stream->SetSize(value);
}

// Writes like WriteInPieces, but first makes room whenever a write would pass
// the room made so far: the stream's size is set to twice the room needed and
// at once set back to the bytes written. The heap keeps a block that shrinks,
// so later writes fill the room without growing it again, while the stream's
// size seen from outside stays exactly the bytes written.
HRESULT WriteWithDoublingRoom(IStream* stream, const BYTE* data, size_t size, size_t piece) {
  ULONG64 room = 0;
  ULONG64 written = 0;
  for (size_t done = 0; done < size; done += piece) {
    const ULONG n = static_cast<ULONG>(std::min(piece, size - done));
    if (written + n > room) {
      room = std::max<ULONG64>(2 * room, written + n);
      HRESULT hr = SetStreamSize(stream, room);
      if (SUCCEEDED(hr)) hr = SetStreamSize(stream, written);
      if (FAILED(hr)) return hr;
    }
    ULONG count = 0;
    const HRESULT hr = stream->Write(data + done, n, &count);
    if (FAILED(hr)) return hr;
    if (count != n) return STG_E_MEDIUMFULL;
    written += count;
  }
  ULONG64 final = 0;
  const HRESULT hr = StreamSize(stream, &final);
  if (FAILED(hr)) return hr;
  return final == size ? S_OK : E_FAIL;
}

HRESULT RunPieces(const std::vector<BYTE>& file, Target target, size_t piece, int runs,
                  Stats* stats) {
  ComRef<IStream> stream;
  TempFile temp(L"vantrel-bench-streams");
  auto prepare = [&]() -> HRESULT {
    stream.reset();
    switch (target) {
      case Target::MemoryEmpty: return MakeMemoryStream(0, stream.put());
      case Target::MemorySized: return MakeMemoryStream(file.size(), stream.put());
      case Target::MemoryReserving: return MakeMemoryStream(0, stream.put());
      case Target::File: return MakeFileStream(temp.Path(), stream.put());
      case Target::PageBuffer: return CreatePageBufferStream(stream.put());
    }
    return E_UNEXPECTED;
  };
  auto body = [&]() -> HRESULT {
    if (target == Target::MemoryReserving) {
      return WriteWithDoublingRoom(stream.get(), file.data(), file.size(), piece);
    }
    return WriteInPieces(stream.get(), file.data(), file.size(), piece);
  };
  return Measure(runs, prepare, body, stats);
}

}  // namespace

int main(int argc, char** argv) {
  ComInitializer com;
  const Options options = ParseOptions(argc, argv);
  std::printf(
      "Platform: one page written in pieces into a stream (no product code but the\n"
      "filter's page buffer stream)\n");
  std::printf("%-10s %-22s %9s %7s %5s %10s %10s %10s\n", "page", "stream", "piece", "writes",
              "runs", "min ms", "median ms", "MB/s");
  for (const PageSpec& page : Pages()) {
    if (!options.Wants(page)) continue;
    const std::vector<BYTE> file = MakeBmpFile(page);
    const size_t pieces[] = {RowStride(page), 64 * 1024, 256 * 1024, 1024 * 1024, file.size()};
    for (Target target : {Target::MemoryEmpty, Target::MemorySized, Target::MemoryReserving,
                          Target::File, Target::PageBuffer}) {
      for (size_t piece : pieces) {
        const size_t writes = (file.size() + piece - 1) / piece;
        // An empty memory stream grows by each write that passes the end of
        // its block (blocks come in 64 KiB steps here): small pieces cost
        // seconds per page, so those run once.
        int runs = options.runs;
        const size_t growths = file.size() / std::max<size_t>(piece, 64 * 1024);
        if (target == Target::MemoryEmpty && growths > 16) runs = 1;
        Stats stats;
        const HRESULT hr = RunPieces(file, target, piece, runs, &stats);
        if (FAILED(hr)) {
          std::printf("%-10s %-22s %9s failed %s\n", page.name, TargetName(target),
                      PieceName(piece, file.size()).c_str(), FormatHr(hr).c_str());
          continue;
        }
        std::printf("%-10s %-22s %9s %7zu %5d %10s %10s %10.0f\n", page.name, TargetName(target),
                    PieceName(piece, file.size()).c_str(), writes, stats.runs,
                    FormatMs(stats.min).c_str(), FormatMs(stats.median).c_str(),
                    file.size() / 1e6 / stats.min);
        std::fflush(stdout);
      }
    }
  }
  return 0;
}
