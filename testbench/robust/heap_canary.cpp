// Writes four bytes past the end of a heap block, then validates the heap.
// Under WINEDEBUG=warn+heap Wine reports the overrun on standard error
// ("err:heap" ... "invalid block tail") and HeapValidate fails; exit code 0
// means the overrun was detected, 1 that it went unnoticed.
#include <windows.h>

#include <cstring>

int main() {
  HANDLE heap = GetProcessHeap();
  unsigned char* block = static_cast<unsigned char*>(HeapAlloc(heap, 0, 100));
  if (!block) return 2;
  unsigned char saved[4];
  std::memcpy(saved, block + 100, sizeof saved);
  std::memset(block + 100, 0x41, sizeof saved);
  const bool detected = !HeapValidate(heap, 0, nullptr);
  std::memcpy(block + 100, saved, sizeof saved);  // repair, so the exit is clean
  HeapFree(heap, 0, block);
  return detected ? 0 : 1;
}
