// Hash maps keyed by caller text, hashed with SipHash-1-3 under a key drawn
// at random for each map, so that no set of keys chosen in advance can
// degrade a map to linear lookups, and iteration order differs between maps.
//
// Thread safety: a SeededHash is immutable after construction.

#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

namespace vennu {

std::uint64_t siphash13(std::uint64_t k0, std::uint64_t k1, std::string_view data);

class SeededHash {
 public:
  using is_transparent = void;

  // Draws a fresh random key.
  SeededHash();
  SeededHash(std::uint64_t k0, std::uint64_t k1) : k0_(k0), k1_(k1) {}

  // On 32-bit targets the low half of the hash is as good as any.
  std::size_t operator()(std::string_view text) const {
    return static_cast<std::size_t>(siphash13(k0_, k1_, text));
  }
  std::size_t operator()(const std::string& text) const {
    return static_cast<std::size_t>(siphash13(k0_, k1_, text));
  }

 private:
  std::uint64_t k0_;
  std::uint64_t k1_;
};

// Lookups take std::string_view without building a std::string.
template <class V>
using TextMap = std::unordered_map<std::string, V, SeededHash, std::equal_to<>>;

}  // namespace vennu
