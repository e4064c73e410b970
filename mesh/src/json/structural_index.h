// The structural index of a JSON text: for each block of 64 bytes, masks of
// its quotes, backslashes, structural characters, whitespace and string
// insides, and from them the offsets of every token start, so that a walker
// can go from token to token instead of from byte to byte.
//
// Bit i of a mask stands for byte i of its block (memory order, whatever the
// machine's byte order). A quote preceded by an odd run of backslashes is
// escaped and is not a quote here; runs carry from block to block. A string
// is inside from its opening quote up to the byte before its closing quote.
// Structural characters ({ } [ ] : ,) and whitespace (space, tab, line feed,
// carriage return) are those outside strings. A token starts at each
// structural character, each opening quote, and each byte outside strings
// that is none of those and follows a structural character, whitespace, a
// quote or the start of the text (the first byte of a number or a word,
// and of anything else a reader then refuses). The text is read as if
// padded with spaces to a whole block; the padding starts no token.
//
// The index is built in bounded chunks: each call of next() indexes whole
// blocks up to what the caller's buffers hold, never the whole text at once.
//
// Kernels compute the same masks with the widest bytes the processor has:
// 64-bit words (portable, every machine), SSE2 (x86-64), AVX2 with
// PCLMULQDQ and BMI (x86-64 processors and systems that have them), NEON
// (little-endian AArch64). chosen_kernel() picks the best one once per
// process from the processor's features, unless the environment variable
// VENNU_MESH_JSON_KERNEL names one (portable, sse2, avx2 or neon): then that
// one, or the best available when this machine cannot run it.
//
// Thread safety: an IndexBuilder is used by one thread at a time; the
// kernel functions are pure, and chosen_kernel() is safe to call from any
// thread (its choice is made once).

#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vennu::json {

inline constexpr std::size_t kIndexBlock = 64;

enum class IndexKernel : std::uint8_t { kPortable, kSse2, kAvx2, kNeon };
inline constexpr int kIndexKernels = 4;

struct BlockMasks {
  std::uint64_t quotes;
  std::uint64_t backslashes;
  std::uint64_t structurals;
  std::uint64_t whitespace;
  std::uint64_t in_string;
  std::uint64_t token_starts;
  friend bool operator==(const BlockMasks&, const BlockMasks&) = default;
};

// What one block leaves to the next.
struct IndexCarry {
  std::uint64_t escaped = 0;      // 1 when the next block's first byte is escaped
  std::uint64_t in_string = 0;    // all ones when the block ends inside a string
  std::uint64_t scalar_tail = 0;  // 1 when its last byte continues a number or word
};

// Indexes count whole blocks at blocks, whose first byte is at offset base
// of the text: writes each token start's offset into positions (room for
// kIndexBlock per block) and, when masks is not null, each block's masks
// (room for count); returns how many offsets it wrote.
using IndexBlocks = std::size_t (*)(const char* blocks, std::size_t count, IndexCarry& carry,
                                    std::size_t base, std::size_t* positions, BlockMasks* masks);

bool kernel_available(IndexKernel kernel);
// The kernel itself when available, else the best available one.
IndexBlocks index_blocks(IndexKernel kernel);
// The kernel that a value of VENNU_MESH_JSON_KERNEL names (null: unset):
// that one when available, else the best available one.
IndexKernel kernel_named(const char* name);
// kernel_named of the variable as the process's first call finds it.
IndexKernel chosen_kernel();
std::string_view kernel_name(IndexKernel kernel);

class IndexBuilder {
 public:
  explicit IndexBuilder(std::string_view text, IndexKernel kernel = chosen_kernel())
      : text_(text), blocks_(index_blocks(kernel)) {}

  // Writes the token starts of the next blocks into positions, ascending,
  // as many blocks as capacity (at least kIndexBlock) has room for, and
  // their masks into masks when not null (room for capacity / kIndexBlock);
  // returns how many offsets it wrote, which may be 0 before the end.
  std::size_t next(std::size_t* positions, std::size_t capacity, BlockMasks* masks = nullptr);

  // Blocks indexed so far, the last (padded) one included.
  std::size_t blocks_done() const { return done_ / kIndexBlock; }
  bool finished() const { return done_ >= text_.size(); }

 private:
  std::string_view text_;
  IndexBlocks blocks_;
  IndexCarry carry_;
  std::size_t done_ = 0;
};

}  // namespace vennu::json
