// Bytes 16 at a time: SSE2 on x86-64 (and x86 builds that enable it), NEON
// on little-endian AArch64. MESH_HAVE_SSE2 or MESH_HAVE_NEON says which one
// this build has; with neither, callers use the word steps of byte_words.h.
//
// A block of byte flags (0xFF or 0 each) becomes a BlockMask with
// kBitsPerByte bits for each byte, in memory order from the low end.
//
// Thread safety: pure functions.

#pragma once

#if defined(__SSE2__) || defined(_M_X64)
#define MESH_HAVE_SSE2 1
#include "base/byte_blocks_sse2.h"
#elif (defined(__aarch64__) && defined(__ARM_NEON) && defined(__BYTE_ORDER__) && \
       __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__) ||                             \
    defined(_M_ARM64)
#define MESH_HAVE_NEON 1
#include "base/byte_blocks_neon.h"
#endif
