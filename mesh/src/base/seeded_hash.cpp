#include "base/seeded_hash.h"

#include <atomic>
#include <bit>
#include <cstring>
#include <random>

namespace vennu {
namespace {

struct SipState {
  std::uint64_t v0, v1, v2, v3;

  void round() {
    v0 += v1;
    v1 = std::rotl(v1, 13);
    v1 ^= v0;
    v0 = std::rotl(v0, 32);
    v2 += v3;
    v3 = std::rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = std::rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = std::rotl(v1, 17);
    v1 ^= v2;
    v2 = std::rotl(v2, 32);
  }

  void compress(std::uint64_t word) {
    v3 ^= word;
    round();
    v0 ^= word;
  }
};

// SipHash reads its input as little-endian words. One load, and a byte
// swap on big-endian machines (compilers turn the shifts into bswap).
std::uint64_t from_le64(std::uint64_t word) {
  if constexpr (std::endian::native == std::endian::big) {
    std::uint64_t swapped = 0;
    for (int i = 0; i < 8; ++i) swapped = (swapped << 8) | ((word >> (8 * i)) & 0xff);
    return swapped;
  }
  return word;
}

std::uint64_t load_le64(const unsigned char* bytes) {
  std::uint64_t word;
  std::memcpy(&word, bytes, sizeof word);
  return from_le64(word);
}

// The last 0 to 7 bytes, zero-extended. On little-endian machines four or
// more are two loads: the first four bytes, and the last four shifted into
// place over them (they overlap below eight).
std::uint64_t load_le_tail(const unsigned char* bytes, std::size_t count) {
  if constexpr (std::endian::native == std::endian::little) {
    if (count >= 4) {
      std::uint32_t first, last;
      std::memcpy(&first, bytes, sizeof first);
      std::memcpy(&last, bytes + count - 4, sizeof last);
      return std::uint64_t{first} | (std::uint64_t{last} << (8 * (count - 4)));
    }
  }
  std::uint64_t word = 0;
  for (std::size_t i = count; i > 0; --i) word = (word << 8) | bytes[i - 1];
  return word;
}

// The process-wide base key: one read of the system's entropy source. Each
// map's key is derived from it and a counter, so building a map costs two
// short hashes instead of a read of the entropy device.
struct KeySource {
  std::uint64_t k0;
  std::uint64_t k1;
  std::atomic<std::uint64_t> counter{0};

  KeySource() {
    std::random_device device;
    std::uint64_t words[4];
    for (auto& word : words) word = (std::uint64_t{device()} << 32) ^ device();
    k0 = words[0] ^ words[2];
    k1 = words[1] ^ words[3];
  }

  std::uint64_t derive(std::uint64_t input) const {
    char bytes[sizeof input];
    std::memcpy(bytes, &input, sizeof input);
    return siphash13(k0, k1, std::string_view(bytes, sizeof bytes));
  }
};

}  // namespace

std::uint64_t siphash13(std::uint64_t k0, std::uint64_t k1, std::string_view data) {
  SipState state{k0 ^ 0x736f6d6570736575ULL, k1 ^ 0x646f72616e646f6dULL, k0 ^ 0x6c7967656e657261ULL,
                 k1 ^ 0x7465646279746573ULL};
  const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
  const std::size_t length = data.size();
  const std::size_t whole_words = length / 8 * 8;
  for (std::size_t offset = 0; offset < whole_words; offset += 8) {
    state.compress(load_le64(bytes + offset));
  }
  state.compress((static_cast<std::uint64_t>(length) << 56) |
                 load_le_tail(bytes + whole_words, length - whole_words));
  state.v2 ^= 0xff;
  state.round();
  state.round();
  state.round();
  return state.v0 ^ state.v1 ^ state.v2 ^ state.v3;
}

SeededHash::SeededHash() {
  static KeySource source;
  const std::uint64_t n = source.counter.fetch_add(1, std::memory_order_relaxed);
  k0_ = source.derive(2 * n);
  k1_ = source.derive(2 * n + 1);
}

}  // namespace vennu
