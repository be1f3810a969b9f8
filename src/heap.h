// Hands the free pages of the process heap back to the system.
//
// The engine frees blocks as its arrays grow and are rebuilt; the C library
// keeps freed pages resident until they are reused. Releasing them costs
// time in proportion to the heap (about a millisecond for a few tens of MB),
// so callers do it after large frees or at intervals, never per operation.
//
// Thread safety: any thread; the C library serialises it with allocation.
#pragma once

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace ostrel {

inline void release_free_heap() {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

}  // namespace ostrel
