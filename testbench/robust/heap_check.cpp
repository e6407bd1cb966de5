#include "heap_check.h"

#include <windows.h>

#include <cstdio>
#include <vector>

namespace robust {

namespace {

std::vector<HANDLE> ProcessHeaps() {
  std::vector<HANDLE> heaps(64);
  DWORD n = GetProcessHeaps(static_cast<DWORD>(heaps.size()), heaps.data());
  if (n > heaps.size()) {
    heaps.resize(n);
    n = GetProcessHeaps(n, heaps.data());
  }
  heaps.resize(n < heaps.size() ? n : heaps.size());
  return heaps;
}

}  // namespace

bool HeapTailCheckingActive() {
  HANDLE heap = GetProcessHeap();
  // A 1-byte block has at least 7 bytes of slack in its 8-byte granule; with
  // tail checking they hold the fill pattern 0xAB.
  volatile unsigned char* p = static_cast<unsigned char*>(HeapAlloc(heap, 0, 1));
  if (!p) return false;
  bool filled = true;
  for (int i = 1; i < 8; ++i) filled = filled && p[i] == 0xAB;
  HeapFree(heap, 0, const_cast<unsigned char*>(p));
  return filled;
}

std::string ValidateAllHeaps() {
  std::string bad;
  for (HANDLE heap : ProcessHeaps()) {
    if (!HeapValidate(heap, 0, nullptr)) {
      char buf[64];
      std::snprintf(buf, sizeof buf, "heap %p is corrupt; ", heap);
      bad += buf;
    }
  }
  return bad;
}

uint64_t BusyHeapBytes() {
  uint64_t busy = 0;
  for (HANDLE heap : ProcessHeaps()) {
    if (!HeapLock(heap)) continue;
    PROCESS_HEAP_ENTRY entry = {};
    while (HeapWalk(heap, &entry)) {
      if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) busy += entry.cbData;
    }
    HeapUnlock(heap);
  }
  return busy;
}

}  // namespace robust
