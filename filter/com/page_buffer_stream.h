// The memory stream that holds a page while the driver writes it.
//
// It answers every IStream call as a stream made by CreateStreamOnHGlobal
// answers it, but it never moves what it holds when it grows: address space
// is reserved in ranges that double the room each time, and memory is
// committed in steps of kPageBufferCommitStep as the stream grows and given
// back as it shrinks. A page written in small pieces therefore costs what its
// bytes cost, whatever the size of the pieces.
//
// Limits, with the errors an HGLOBAL stream gives for them:
// - a size above 0xFFFFFFFF (the most an HGLOBAL stream holds): SetSize fails
//   with STG_E_INVALIDFUNCTION, a Write that would end beyond it with
//   STG_E_MEDIUMFULL;
// - memory that cannot be committed, or a size beyond the reserved range:
//   E_OUTOFMEMORY.
// A failed Write or SetSize leaves the contents, the size and the position
// as they were.
//
// Committed memory is the stream's size rounded up to the next commit step,
// reserved address space less than twice the size plus one step; bytes past
// the size are always zero, so a gap left by a write past the end, or by
// SetSize growing the stream, reads as zeros.
//
// Clones share the memory; it is released with the last stream that uses it.
// The stream and each clone keep the module loaded while they live.
#pragma once

#include <windows.h>
#include <objidl.h>

// Memory is committed and given back in steps of this many bytes.
constexpr ULONGLONG kPageBufferCommitStep = 1024ULL * 1024;
// The largest stream: what an HGLOBAL stream holds.
constexpr ULONGLONG kPageBufferMaxSize = 0xFFFFFFFFull;

// A new, empty stream at position 0 with one reference owned by the caller.
HRESULT CreatePageBufferStream(IStream** stream);

// The same with room for only `limitBytes` (rounded up to the commit step, at
// most 4 GB, which any larger limit gives): growing beyond it fails with
// E_OUTOFMEMORY, as running out of memory does.
HRESULT CreatePageBufferStream(ULONGLONG limitBytes, IStream** stream);

// Where a stream reserves, commits, decommits and releases its memory: the
// platform's VirtualAlloc and VirtualFree, or stand-ins with the same
// contract (a test's, to make any of those calls fail).
struct PageBufferMemory {
  LPVOID(WINAPI* virtualAlloc)(LPVOID address, SIZE_T bytes, DWORD type, DWORD protect);
  BOOL(WINAPI* virtualFree)(LPVOID address, SIZE_T bytes, DWORD type);
};

// The same, taking its memory through `memory`.
HRESULT CreatePageBufferStream(ULONGLONG limitBytes, const PageBufferMemory& memory,
                               IStream** stream);
