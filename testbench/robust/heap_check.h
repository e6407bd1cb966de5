// Heap checks for the campaigns. Under WINEDEBUG=warn+heap Wine fills the
// unused tail of every heap block and every free block with known patterns;
// validating the heaps then finds writes past a block's end and writes into
// freed memory (and prints "err:heap" lines on standard error).
#pragma once

#include <cstdint>
#include <string>

namespace robust {

// True when Wine's tail checking is on for the process heap (the campaigns
// refuse to run without it, so that a clean result means something).
bool HeapTailCheckingActive();

// Validates every heap of the process; returns an empty string when all are
// sound, else which heaps failed.
std::string ValidateAllHeaps();

// Bytes in busy blocks over all heaps of the process (for leak trends).
uint64_t BusyHeapBytes();

}  // namespace robust
