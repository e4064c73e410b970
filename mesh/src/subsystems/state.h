// The shared state store: text keys to JSON values.
//
// Values are held as their compact JSON text: callers canonicalize before
// set (json::canonicalize) and get copies the stored text into a buffer the
// caller owns, so nothing of the store leaves the lock and a caller that
// reuses its buffer reads without allocating.
//
// Keys are compared byte for byte; keys_with_prefix lists them in byte order
// (unsigned bytes, a key before its extensions).
//
// Out of memory: every operation but key_count may throw std::bad_alloc;
// the store is then unchanged and stays usable (get leaves *out alone).
// set copies a long value into a new entry before it takes the lock, and
// only links the entry in under it; a short one, copied in less time than
// the lock takes, is copied under it, in place when the entry has room.
//
// Thread safety: every member may be called concurrently. The entries are
// split by key hash into shards, each under a lock of its own, so that
// threads reading and writing different keys meet on no lock; where an
// interpreter lock serializes the callers there is one shard. get and
// exists take their key's shard lock shared, erase and set exclusively;
// but where threads run at once, a set of a short value that fits its
// entry overwrites the value in place under the shared lock, excluding only
// other such writes to the entry, while readers copy on
// (sync/versioned_text.h), so that threads reading and writing one key do
// not wait for each other;
// keys_with_prefix and key_count hold every shard's lock shared at once, so
// that they see one moment's keys. Any other failure escaping set or erase
// (a broken invariant) poisons the store for good: its operations then fail
// with StateError "state lock poisoned" and key_count reads 0.

#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "base/record_read.h"
#include "base/seeded_hash.h"
#include "base/text_shape.h"
#include "sync/guarded.h"

namespace vennu {

class StateStore {
 public:
  virtual ~StateStore() = default;
  // True with the value's text in *out when the key is present; *out is
  // left alone otherwise.
  virtual MeshResult<bool> get(std::string_view key, std::string* out) const = 0;
  // Stores a copy of value under key, replacing any earlier value.
  virtual MeshResult<void> set(std::string_view key, std::string_view value) = 0;
  virtual MeshResult<void> erase(std::string_view key) = 0;
  virtual MeshResult<bool> exists(std::string_view key) const = 0;
  // Keys beginning with prefix, sorted by their bytes.
  virtual MeshResult<std::vector<std::string>> keys_with_prefix(std::string_view prefix) const = 0;
};

// The store's data, reachable only under the store's lock; not synchronized
// itself, but for the values, which overwrite_in_place may change under the
// shared lock while readers copy them where threads run at once
// (kWritesBesideReaders). Each entry is one heap block holding its key and
// value bytes, their sizes, the value's version, the key's hash and two
// links. An open-addressing table of block pointers (linear probing, indexed by the hash) serves
// lookups; a treap threaded through the blocks by those links, with the hash as priority, keeps the
// keys in order. The hash is keyed (per store, or per process when the caller hashes), so no choice
// of keys made without the key can lengthen the probes or unbalance the treap.
class StateEntries {
 public:
  struct Block;
  struct BlockDeleter {
    void operator()(Block* block) const noexcept;
  };
  using BlockPtr = std::unique_ptr<Block, BlockDeleter>;

  StateEntries();
  ~StateEntries();
  StateEntries(const StateEntries&) = delete;
  StateEntries& operator=(const StateEntries&) = delete;

  // hash is the store's hash of key.
  bool copy_value(std::string_view key, std::uint64_t hash, std::string* out) const;
  // What InMemoryStateStore::read finds.
  RecordRead read_value(std::string_view key, std::uint64_t hash, std::size_t max_bytes,
                        std::string* out, TextShape* shape) const;
  // The block holding key's entry, or nullptr: for the store's short reads,
  // which copy from it in the same step (read_value's work, inlined).
  const Block* find(std::string_view key, std::uint64_t hash) const {
    return slots_[slot_of(key, hash)];
  }
  bool contains(std::string_view key, std::uint64_t hash) const;
  // Overwrites key's value in place when its entry has room for value; false,
  // changing nothing, when key is absent or value does not fit. Const:
  // with kWritesBesideReaders (sync/versioned_text.h) it may run under the
  // shared lock, as readers copy the value meanwhile and other such writes
  // to the entry wait for this one, and it then takes values of at most
  // kLongestWrittenBesideReaders bytes only, so that such a write is short;
  // otherwise it needs the exclusive lock. Does not allocate.
  bool overwrite_in_place(std::string_view key, std::uint64_t hash, std::string_view value,
                          const TextShape& shape) const;
  static constexpr std::size_t kLongestWrittenBesideReaders = 256;
  // A block holding an entry, made without the lock, so that copying a
  // large value does not hold up the store. hash is the store's hash of key
  // and shape that of value. May throw std::bad_alloc.
  static BlockPtr make_block(std::string_view key, std::uint64_t hash, std::string_view value,
                             const TextShape& shape);
  // The three return the block that left the store, for the caller to
  // release once the lock is no longer held. The assigns replace any entry
  // with the same key: the first copies value in, into the entry's block
  // when it has room, which suits values short enough to copy under the
  // lock; the second links in a block from make_block. Both may throw
  // std::bad_alloc and then change nothing (the second leaves block with
  // the caller). remove does not allocate.
  BlockPtr assign(std::string_view key, std::uint64_t hash, std::string_view value,
                  const TextShape& shape);
  BlockPtr assign(BlockPtr& block);
  BlockPtr remove(std::string_view key, std::uint64_t hash);
  void append_keys_with_prefix(std::string_view prefix, std::vector<std::string>& out) const;
  std::size_t size() const { return size_; }

  // For testing.

  // The number of blocks a probe for key visits and the depth of its block
  // in the ordered index (0 at the root, the path length when absent): what
  // a flood of keys chosen to collide would lengthen.
  struct SearchCost {
    std::size_t probes;
    std::size_t depth;
  };
  SearchCost TEST_search_cost(std::string_view key, std::uint64_t hash) const;

 private:
  std::size_t capacity() const { return mask_ + 1; }
  std::size_t slot_of(std::string_view key, std::uint64_t hash) const;
  void remove_slot(std::size_t hole);
  void grow();
  Block** order_link(std::string_view key);

  std::unique_ptr<Block*[]> slots_;  // a power of two of them, nullptr when free
  std::size_t mask_;                 // capacity() - 1
  std::size_t size_ = 0;
  Block* order_root_ = nullptr;
};

class InMemoryStateStore final : public StateStore {
 public:
  // Who hashes the keys (seeded_hash.h). A kByCaller store is used through
  // the HashedKey overloads only; the others then throw std::logic_error.
  using KeyHashing = vennu::KeyHashing;
  // Where threads run at once (MESH_STRIPED_READERS), enough shards that a
  // few threads on their own keys rarely share one; otherwise one, which
  // lists without merging.
#if defined(MESH_STRIPED_READERS)
  static constexpr std::size_t kDefaultShards = 16;
#else
  static constexpr std::size_t kDefaultShards = 1;
#endif
  static constexpr std::size_t kMostShards = 64;
  // shards: a power of two up to kMostShards. May throw std::bad_alloc.
  explicit InMemoryStateStore(KeyHashing hashing = KeyHashing::kSeeded,
                              std::size_t shards = kDefaultShards);

  MeshResult<bool> get(std::string_view key, std::string* out) const override;
  // get for a caller that turns the text into a string of code units: with
  // the key present, *shape is the text's shape (measured once, by set) and,
  // when the text is at most max_bytes long, *out its copy (kCopied); a
  // longer text is left where it is (kLonger), so that the caller can copy it
  // without holding up others.
  using ValueRead = RecordRead;
  MeshResult<ValueRead> read(std::string_view key, std::size_t max_bytes, std::string* out,
                             TextShape* shape) const;
  MeshResult<ValueRead> read(HashedKey key, std::size_t max_bytes, std::string* out,
                             TextShape* shape) const;
  // read into room the caller owns, such as an array on its stack, for a
  // caller that expects a short value, as copy_record (record_read.h) reads
  // a record.
  MeshResult<ValueRead> read(HashedKey key, std::span<char> room, std::size_t* size,
                             TextShape* shape) const;
  MeshResult<void> set(std::string_view key, std::string_view value) override;
  // set for a caller that knows the value's shape (shape_of(value)), as the
  // canonicalizer reports it, so that the value is not measured again.
  MeshResult<void> set(std::string_view key, std::string_view value, const TextShape& shape);
  MeshResult<void> set(HashedKey key, std::string_view value, const TextShape& shape);
  MeshResult<void> erase(std::string_view key) override;
  MeshResult<void> erase(HashedKey key);
  MeshResult<bool> exists(std::string_view key) const override;
  MeshResult<bool> exists(HashedKey key) const;
  MeshResult<std::vector<std::string>> keys_with_prefix(std::string_view prefix) const override;

  // 0 when poisoned.
  std::uint64_t key_count() const;

  // For testing.

  // What finding key costs now (StateEntries::TEST_search_cost); for tests
  // that show chosen keys cannot slow the store down. Zeros when poisoned.
  StateEntries::SearchCost TEST_search_cost(std::string_view key) const;

  // The key with this store's own hash; for a kSeeded store (a kByCaller
  // one throws std::logic_error).
  HashedKey hashed(std::string_view key) const;

 private:
  // Each on lines of its own: a writer of one shard writes its lock word.
  // Filled out by hand, as a compiler that pads it itself may warn.
  struct alignas(128) Shard {
    Guarded<StateEntries> entries;
    unsigned char rest_of_the_lines[128 - sizeof(Guarded<StateEntries>) % 128];
  };

  const Guarded<StateEntries>& shard(std::uint64_t hash) const;
  Guarded<StateEntries>& shard(std::uint64_t hash);
  // section(entries) under the key's shard lock, shared or exclusive, or
  // the poisoned error.
  template <class Section>
  auto read_shard(std::uint64_t hash, Section&& section) const;
  template <class Section>
  MeshResult<void> write_shard(std::uint64_t hash, Section&& section);
  // section(entries), a write in place, under the shared lock; a failure
  // escaping it poisons the store, as one escaping write_shard does.
  template <class Section>
  MeshResult<bool> write_in_place(std::uint64_t hash, Section&& section);
  // section, poisoning the store when anything but std::bad_alloc escapes it.
  template <class Section>
  auto poisoning(Section& section);
  // fn(entries) for every shard with all of them held; false once poisoned.
  template <class Fn>
  bool read_all(Fn&& fn) const;

  const KeyHasher hash_;  // immutable: keys are hashed before the lock is taken
  const std::size_t shard_mask_;
  const std::unique_ptr<Shard[]> shards_;
  // Set for good when a shard is poisoned, so that the others answer as
  // poisoned too; read on every call, written once at most.
  std::atomic<bool> poisoned_{false};
};

}  // namespace vennu
