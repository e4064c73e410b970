#include "json/structural_index.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "base/byte_blocks.h"
#include "json/structural_portable.h"

#if defined(__x86_64__) || defined(_M_X64)
#define MESH_INDEX_X86 1
#include "json/structural_sse2.h"
// GCC for MinGW-w64 does not align the stack for spilled AVX registers.
#if !(defined(__MINGW32__) && defined(__GNUC__) && !defined(__clang__))
#define MESH_INDEX_AVX2 1
#include "json/structural_avx2.h"
#endif
#if defined(_MSC_VER)
#include <intrin.h>
#else
#include <cpuid.h>
#endif
#endif
#if defined(MESH_HAVE_NEON)
#include "json/structural_neon.h"
#endif

namespace vennu::json {
namespace {

#if defined(MESH_INDEX_AVX2)
// AVX2, PCLMULQDQ, BMI1 and BMI2 in the processor, and the system saving
// the AVX registers across context switches (XCR0 bits 1 and 2).
bool processor_has_avx2() {
  unsigned regs[4] = {0, 0, 0, 0};
#if defined(_MSC_VER)
  int info[4];
  __cpuid(info, 0);
  if (info[0] < 7) return false;
  __cpuid(info, 1);
  std::memcpy(regs, info, sizeof regs);
#else
  if (__get_cpuid_max(0, nullptr) < 7) return false;
  __get_cpuid(1, &regs[0], &regs[1], &regs[2], &regs[3]);
#endif
  constexpr unsigned kPclmul = 1u << 1;
  constexpr unsigned kOsXsave = 1u << 27;
  constexpr unsigned kAvx = 1u << 28;
  const unsigned ecx1 = regs[2];
  if ((ecx1 & (kPclmul | kOsXsave | kAvx)) != (kPclmul | kOsXsave | kAvx)) return false;
#if defined(_MSC_VER)
  const std::uint64_t xcr0 = _xgetbv(0);
  __cpuidex(info, 7, 0);
  std::memcpy(regs, info, sizeof regs);
#else
  unsigned xcr0_low = 0;
  unsigned xcr0_high = 0;
  __asm__ volatile("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0));
  const std::uint64_t xcr0 = xcr0_low;
  __get_cpuid_count(7, 0, &regs[0], &regs[1], &regs[2], &regs[3]);
#endif
  if ((xcr0 & 6) != 6) return false;
  constexpr unsigned kBmi1 = 1u << 3;
  constexpr unsigned kAvx2 = 1u << 5;
  constexpr unsigned kBmi2 = 1u << 8;
  return (regs[1] & (kBmi1 | kAvx2 | kBmi2)) == (kBmi1 | kAvx2 | kBmi2);
}
#endif

bool detect(IndexKernel kernel) {
  switch (kernel) {
    case IndexKernel::kPortable:
      return true;
    case IndexKernel::kSse2:
#if defined(MESH_INDEX_X86)
      return true;
#else
      return false;
#endif
    case IndexKernel::kAvx2:
#if defined(MESH_INDEX_AVX2)
      return processor_has_avx2();
#else
      return false;
#endif
    case IndexKernel::kNeon:
#if defined(MESH_HAVE_NEON)
      return true;
#else
      return false;
#endif
  }
  return false;
}

struct Availability {
  bool available[kIndexKernels];
  IndexKernel best;
  Availability() : available{}, best(IndexKernel::kPortable) {
    for (int i = 0; i < kIndexKernels; ++i) {
      available[i] = detect(static_cast<IndexKernel>(i));
    }
    for (const IndexKernel k : {IndexKernel::kSse2, IndexKernel::kNeon, IndexKernel::kAvx2}) {
      if (available[static_cast<int>(k)]) best = k;
    }
  }
};

const Availability& availability() {
  static const Availability once;
  return once;
}

const char* kernel_variable() {
#if defined(_MSC_VER)
#pragma warning(suppress : 4996)
#endif
  return std::getenv("VENNU_MESH_JSON_KERNEL");
}

}  // namespace

bool kernel_available(IndexKernel kernel) {
  const int i = static_cast<int>(kernel);
  return i >= 0 && i < kIndexKernels && availability().available[i];
}

std::string_view kernel_name(IndexKernel kernel) {
  switch (kernel) {
    case IndexKernel::kPortable:
      return "portable";
    case IndexKernel::kSse2:
      return "sse2";
    case IndexKernel::kAvx2:
      return "avx2";
    case IndexKernel::kNeon:
      return "neon";
  }
  return "portable";
}

IndexKernel kernel_named(const char* name) {
  const IndexKernel best = availability().best;
  if (name == nullptr) return best;
  for (int i = 0; i < kIndexKernels; ++i) {
    const auto kernel = static_cast<IndexKernel>(i);
    if (kernel_name(kernel) == name) return kernel_available(kernel) ? kernel : best;
  }
  return best;
}

IndexKernel chosen_kernel() {
  static const IndexKernel once = kernel_named(kernel_variable());
  return once;
}

IndexBlocks index_blocks(IndexKernel kernel) {
  if (!kernel_available(kernel)) kernel = availability().best;
  switch (kernel) {
#if defined(MESH_INDEX_X86)
    case IndexKernel::kSse2:
      return structural::run_blocks<structural::classify_sse2>;
#endif
#if defined(MESH_INDEX_AVX2)
    case IndexKernel::kAvx2:
      return structural::index_blocks_avx2;
#endif
#if defined(MESH_HAVE_NEON)
    case IndexKernel::kNeon:
      return structural::run_blocks<structural::classify_neon>;
#endif
    default:
      return structural::run_blocks<structural::classify_portable>;
  }
}

std::size_t IndexBuilder::next(std::size_t* positions, std::size_t capacity, BlockMasks* masks) {
  const std::size_t room = capacity / kIndexBlock;
  if (room == 0 || finished()) return 0;
  const std::size_t whole = (text_.size() - done_) / kIndexBlock;
  if (whole != 0) {
    const std::size_t count = std::min(whole, room);
    const std::size_t written =
        blocks_(text_.data() + done_, count, carry_, done_, positions, masks);
    done_ += count * kIndexBlock;
    return written;
  }
  // The last bytes, padded with spaces, which start no token.
  char last[kIndexBlock];
  std::memset(last, ' ', sizeof last);
  std::memcpy(last, text_.data() + done_, text_.size() - done_);
  const std::size_t written = blocks_(last, 1, carry_, done_, positions, masks);
  done_ += kIndexBlock;
  return written;
}

}  // namespace vennu::json
