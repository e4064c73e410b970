// Hash maps keyed by caller text, hashed with SipHash-1-3 under a key drawn
// at random for each map, so that no set of keys chosen in advance can
// degrade a map to linear lookups, and iteration order differs between maps;
// or hashed by their caller, with a hash keyed per process.
//
// Thread safety: a SeededHash and a KeyHasher are immutable after
// construction.

#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
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

// A key with its hash, for a table whose caller hashes the keys.
struct HashedKey {
  std::string_view text;
  std::uint64_t hash;
};

// Who hashes a table's keys. kSeeded: the table, with SipHash-1-3 under a
// key of its own. kByCaller: the caller, who passes every key with its hash
// and must give the same text the same hash every time, from a hash keyed
// per process at least (such as the interpreter's hash of a str, which the
// str caches: lookups then hash nothing).
enum class KeyHashing : bool { kSeeded, kByCaller };

// A key as the lookups of a table with either kind of hashing take it: its
// text, and its hash when the caller hashed it. Made implicitly from either,
// for one call: a table's KeyHasher may fill in its hash, so it is not to be
// shared between threads.
class KeyText {
 public:
  KeyText(std::string_view text) : key_{text, 0} {}
  KeyText(const char* text) : key_{text, 0} {}
  KeyText(const std::string& text) : key_{text, 0} {}
  KeyText(HashedKey key) : key_(key), hashed_(true) {}

  std::string_view text() const { return key_.text; }

 private:
  friend class KeyHasher;

  // The hash is filled in by a kSeeded table's KeyHasher, which hands out a
  // reference to the whole: a copy of the text's view, written by the
  // caller a word at a time, would be read back in one wider load, which
  // the processor cannot serve from those stores and makes wait for them.
  mutable HashedKey key_;
  bool hashed_ = false;
};

// Gives each key of one table its hash, as the table's KeyHashing says.
// Immutable after construction.
class KeyHasher {
 public:
  explicit KeyHasher(KeyHashing hashing) : hashing_(hashing) {}

  // The key with its hash, valid as long as key: the table's own hash for
  // kSeeded (a hash the caller gave is not used), the caller's for
  // kByCaller, which throws std::logic_error for a key without one.
  const HashedKey& operator()(const KeyText& key) const {
    if (hashing_ == KeyHashing::kSeeded) {
      key.key_.hash = seeded_(key.key_.text);
    } else if (!key.hashed_) {
      throw std::logic_error("a key without its hash");
    }
    return key.key_;
  }

 private:
  const SeededHash seeded_;
  const KeyHashing hashing_;
};

// A table's key as it keeps it: the text and the hash it was filed under.
struct HashedText {
  std::string text;
  std::uint64_t hash;

  friend bool operator==(const HashedText& a, HashedKey b) {
    return a.hash == b.hash && a.text == b.text;
  }
  friend bool operator==(const HashedText& a, const HashedText& b) {
    return a.hash == b.hash && a.text == b.text;
  }
};

}  // namespace vennu
