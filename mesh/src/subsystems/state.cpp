#include "subsystems/state.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <new>
#include <stdexcept>
#include <utility>

#include "base/linear_probing.h"
#include "subsystems/guarded_result.h"
#include "sync/versioned_text.h"
#include "testing/fault_injection.h"

namespace vennu {

// One allocation per entry: this header, then the key bytes, then, from the
// next word boundary, the value's words (sync/versioned_text.h), then spare
// bytes. Sizes are rounded up as the allocator rounds them anyway (16-byte
// steps that include its 8-byte header), so a value that fits the same
// rounded size is rewritten in place for free. A write in place changes the
// value's size, shape and words under the version, so that readers may copy
// meanwhile; the rest is fixed while the block is in the store, but for the
// links, which change under the exclusive lock.
struct StateEntries::Block {
  std::uint64_t hash;
  Block* less = nullptr;     // treap child with the smaller keys
  Block* greater = nullptr;  // treap child with the greater keys
  std::size_t key_size;
  TextVersion<kWritesBesideReaders> version;
  std::atomic<std::size_t> value_size;
  std::atomic<std::uint64_t> shape_bits;  // the code point count times 4, plus the width

  Block(std::uint64_t key_hash, std::size_t key_bytes, std::size_t value_bytes,
        const TextShape& shape)
      : hash(key_hash), key_size(key_bytes), value_size(value_bytes), shape_bits(bits_of(shape)) {}

  using Words = TextWords<kWritesBesideReaders>;

  static std::size_t value_offset(std::size_t key_size) {
    constexpr std::size_t kWord = sizeof(TextWord);
    return (sizeof(Block) + key_size + kWord - 1) / kWord * kWord;
  }

  static std::size_t bytes_for(std::size_t key_size, std::size_t value_size) {
    constexpr std::size_t kStep = 16;
    constexpr std::size_t kAllocatorHeader = 8;
    const std::size_t used =
        value_offset(key_size) + text_words_for(value_size) * sizeof(TextWord) + kAllocatorHeader;
    return (used + kStep - 1) / kStep * kStep - kAllocatorHeader;
  }

  static BlockPtr create(std::string_view key, std::uint64_t hash, std::string_view value,
                         const TextShape& shape) {
    const std::size_t bytes = bytes_for(key.size(), value.size());
    char* const memory = static_cast<char*>(::operator new(bytes));
    BlockPtr block(new (memory) Block(hash, key.size(), value.size(), shape));
    std::copy(key.begin(), key.end(), memory + sizeof(Block));
    Words::construct(memory + value_offset(key.size()), value);
    return block;
  }

  std::string_view key() const { return {reinterpret_cast<const char*>(this + 1), key_size}; }

  // Whether writes in place may change the value while readers copy it:
  // with kWritesBesideReaders, for a value of a size that one of at most
  // kLongestWrittenBesideReaders bytes fits.
  bool written_beside_readers() const {
    return kWritesBesideReaders &&
           bytes_for(key_size, value_size.load(std::memory_order_relaxed)) <=
               bytes_for(key_size, kLongestWrittenBesideReaders);
  }

  // Every value stored in the block takes the same rounded size, so this
  // depends on none of them.
  bool fits(std::size_t new_value_size) const {
    return bytes_for(key_size, new_value_size) ==
           bytes_for(key_size, value_size.load(std::memory_order_relaxed));
  }
  // The longest value that fits.
  std::size_t value_room() const {
    return bytes_for(key_size, value_size.load(std::memory_order_relaxed)) - value_offset(key_size);
  }

  // value must fit. Readers may copy meanwhile, and other writes in place
  // wait for this one.
  void overwrite_value(std::string_view text, const TextShape& shape) {
    version.write([&] {
      value_size.store(text.size(), std::memory_order_release);
      shape_bits.store(bits_of(shape), std::memory_order_release);
      Words::store(words(), text);
    });
  }

  // Copies the value into out when it is at most max_bytes long; its shape
  // into *shape in any case. Allocates, if at all, before the first copy,
  // so that running out of memory leaves out as it was.
  RecordRead copy_value(std::size_t max_bytes, std::string& out, TextShape* shape) const {
    if (!written_beside_readers()) {
      // Nothing changes the value while the caller holds the shared lock, so
      // a long one is copied at memcpy's speed.
      const std::size_t size = value_size.load(std::memory_order_relaxed);
      *shape = shape_of_bits(size, shape_bits.load(std::memory_order_relaxed));
      if (size > max_bytes) return RecordRead::kLonger;
      out.assign(reinterpret_cast<const char*>(words()), size);
      return RecordRead::kCopied;
    }
    out.reserve(value_room());  // whole words, as the copy takes them
    return version.read([&] {
      const std::size_t size = value_size.load(std::memory_order_acquire);
      *shape = shape_of_bits(size, shape_bits.load(std::memory_order_acquire));
      if (size > max_bytes) return RecordRead::kLonger;
      out.resize(text_words_for(size) * sizeof(TextWord));
      Words::load(words(), out.data(), size);
      out.resize(size);
      return RecordRead::kCopied;
    });
  }

  // As copy_record (record_read.h) does. Inlined into the short reads, which
  // it would otherwise cost a call and its saved registers.
  [[gnu::always_inline]] RecordRead copy_value(std::span<char> room, std::size_t* size,
                                               TextShape* shape) const {
    return version.read([&] {
      *size = value_size.load(std::memory_order_acquire);
      *shape = shape_of_bits(*size, shape_bits.load(std::memory_order_acquire));
      if (*size > room.size()) return RecordRead::kLonger;
      if (!kWritesBesideReaders || text_words_for(*size) * sizeof(TextWord) <= room.size()) {
        Words::load(words(), room.data(), *size);
      } else {
        // The last word does not fit whole, and goes through a word of its own.
        const std::size_t whole = *size / sizeof(TextWord) * sizeof(TextWord);
        Words::load(words(), room.data(), whole);
        char last[sizeof(TextWord)];
        Words::load(words() + whole / sizeof(TextWord), last, *size - whole);
        std::memcpy(room.data() + whole, last, *size - whole);
      }
      return RecordRead::kCopied;
    });
  }

 private:
  static std::uint64_t bits_of(const TextShape& shape) {
    const std::uint64_t code_points = shape.width == CharWidth::kAscii ? 0 : shape.code_points;
    return code_points << 2 | static_cast<std::uint64_t>(shape.width);
  }
  static TextShape shape_of_bits(std::size_t size, std::uint64_t bits) {
    const auto width = static_cast<CharWidth>(bits & 3);
    return {width == CharWidth::kAscii ? size : static_cast<std::size_t>(bits >> 2), width};
  }

  Words::Word* words() const {
    return std::launder(reinterpret_cast<Words::Word*>(
        reinterpret_cast<char*>(const_cast<Block*>(this)) + value_offset(key_size)));
  }
};

void StateEntries::BlockDeleter::operator()(Block* block) const noexcept {
  ::operator delete(block);
}

namespace {

using Block = StateEntries::Block;

constexpr std::size_t kInitialCapacity = 16;

bool is_free_slot(const Block* block) { return block == nullptr; }
std::uint64_t hash_of_slot(const Block* block) { return block->hash; }

MeshError poisoned() { return MeshError::state_error("state lock poisoned"); }

// The treap orders blocks by key, and no block's hash exceeds its parent's.
// Hashes are seeded per store, so the shape is that of a random tree.

Block** child_toward(Block* node, std::string_view key) {
  return key < node->key() ? &node->less : &node->greater;
}

// Splits a subtree that does not hold key into its smaller and greater keys.
void split(Block* node, std::string_view key, Block** less, Block** greater) {
  while (node != nullptr) {
    if (node->key() < key) {
      *less = node;
      less = &node->greater;
      node = node->greater;
    } else {
      *greater = node;
      greater = &node->less;
      node = node->less;
    }
  }
  *less = nullptr;
  *greater = nullptr;
}

// Joins two subtrees whose keys are all less, respectively all greater.
Block* merge(Block* less, Block* greater) {
  Block* root = nullptr;
  Block** link = &root;
  while (less != nullptr && greater != nullptr) {
    if (less->hash >= greater->hash) {
      *link = less;
      link = &less->greater;
      less = less->greater;
    } else {
      *link = greater;
      link = &greater->less;
      greater = greater->less;
    }
  }
  *link = less != nullptr ? less : greater;
  return root;
}

void link_in_order(Block** root, Block* block) {
  Block** link = root;
  while (*link != nullptr && (*link)->hash > block->hash) link = child_toward(*link, block->key());
  split(*link, block->key(), &block->less, &block->greater);
  *link = block;
}

// Keys with a prefix are contiguous in byte order: a key not below the
// prefix that does not start with it is above all of them.
void collect_with_prefix(const Block* node, std::string_view prefix,
                         std::vector<std::string>& out) {
  while (node != nullptr) {
    const std::string_view key = node->key();
    if (key < prefix) {
      node = node->greater;
    } else if (!key.starts_with(prefix)) {
      node = node->less;
    } else {
      collect_with_prefix(node->less, prefix, out);
      out.emplace_back(key);
      node = node->greater;
    }
  }
}

}  // namespace

StateEntries::StateEntries()
    : slots_(std::make_unique<Block*[]>(kInitialCapacity)), mask_(kInitialCapacity - 1) {}

StateEntries::~StateEntries() {
  for (std::size_t slot = 0; slot <= mask_; ++slot) BlockDeleter{}(slots_[slot]);
}

// The slot holding key, or the free slot where its probe ends.
std::size_t StateEntries::slot_of(std::string_view key, std::uint64_t hash) const {
  for (std::size_t slot = static_cast<std::size_t>(hash) & mask_;; slot = (slot + 1) & mask_) {
    const Block* block = slots_[slot];
    if (block == nullptr || (block->hash == hash && block->key() == key)) return slot;
  }
}

bool StateEntries::copy_value(std::string_view key, std::uint64_t hash, std::string* out) const {
  TextShape shape;
  return read_value(key, hash, SIZE_MAX, out, &shape) == RecordRead::kCopied;
}

RecordRead StateEntries::read_value(std::string_view key, std::uint64_t hash, std::size_t max_bytes,
                                    std::string* out, TextShape* shape) const {
  const Block* block = slots_[slot_of(key, hash)];
  if (block == nullptr) return RecordRead::kAbsent;
  return block->copy_value(max_bytes, *out, shape);
}

bool StateEntries::contains(std::string_view key, std::uint64_t hash) const {
  return slots_[slot_of(key, hash)] != nullptr;
}

StateEntries::BlockPtr StateEntries::make_block(std::string_view key, std::uint64_t hash,
                                                std::string_view value, const TextShape& shape) {
  return Block::create(key, hash, value, shape);
}

StateEntries::BlockPtr StateEntries::assign(std::string_view key, std::uint64_t hash,
                                            std::string_view value, const TextShape& shape) {
  if (overwrite_in_place(key, hash, value, shape)) return nullptr;
  BlockPtr block = Block::create(key, hash, value, shape);
  return assign(block);
}

bool StateEntries::overwrite_in_place(std::string_view key, std::uint64_t hash,
                                      std::string_view value, const TextShape& shape) const {
  if (kWritesBesideReaders && value.size() > kLongestWrittenBesideReaders) return false;
  Block* const block = slots_[slot_of(key, hash)];
  if (block == nullptr || !block->fits(value.size())) return false;
  block->overwrite_value(value, shape);
  return true;
}

StateEntries::BlockPtr StateEntries::assign(BlockPtr& block) {
  const std::string_view key = block->key();
  const std::uint64_t hash = block->hash;
  const std::size_t slot = slot_of(key, hash);
  Block* current = slots_[slot];
  if (current == nullptr) {
    // Growing is the one allocation, and it comes before the first change,
    // so running out of memory leaves the entries as they were. It moves
    // the free slot.
    std::size_t free_slot = slot;
    if ((size_ + 1) * 4 > capacity() * 3) {
      grow();
      free_slot = slot_of(key, hash);
    }
    slots_[free_slot] = block.release();
    link_in_order(&order_root_, slots_[free_slot]);
    ++size_;
    return nullptr;
  }
  // The new block takes the old one's place in the ordered index, which
  // its equal key and hash keep valid.
  Block* fresh = block.release();
  fresh->less = current->less;
  fresh->greater = current->greater;
  *order_link(key) = fresh;
  slots_[slot] = fresh;
  return BlockPtr(current);
}

StateEntries::SearchCost StateEntries::TEST_search_cost(std::string_view key,
                                                        std::uint64_t hash) const {
  SearchCost cost{1, 0};
  std::size_t slot = static_cast<std::size_t>(hash) & mask_;
  for (;; slot = (slot + 1) & mask_, ++cost.probes) {
    const Block* block = slots_[slot];
    if (block == nullptr || (block->hash == hash && block->key() == key)) break;
  }
  for (const Block* node = order_root_; node != nullptr && node->key() != key; ++cost.depth) {
    node = key < node->key() ? node->less : node->greater;
  }
  return cost;
}

StateEntries::BlockPtr StateEntries::remove(std::string_view key, std::uint64_t hash) {
  const std::size_t slot = slot_of(key, hash);
  Block* block = slots_[slot];
  if (block == nullptr) return nullptr;
  remove_slot(slot);
  *order_link(key) = merge(block->less, block->greater);
  --size_;
  return BlockPtr(block);
}

void StateEntries::remove_slot(std::size_t hole) {
  free_slot_and_close_run(slots_.get(), mask_, hole, is_free_slot, hash_of_slot);
}

// Allocates before it changes anything.
void StateEntries::grow() {
  const std::size_t old_capacity = capacity();
  auto old_slots = std::exchange(slots_, std::make_unique<Block*[]>(2 * old_capacity));
  mask_ = 2 * old_capacity - 1;
  for (std::size_t slot = 0; slot < old_capacity; ++slot) {
    Block* block = old_slots[slot];
    if (block == nullptr) continue;
    slots_[first_free_slot(slots_.get(), mask_, block->hash, is_free_slot)] = block;
  }
}

// The link that points at the block holding key.
StateEntries::Block** StateEntries::order_link(std::string_view key) {
  Block** link = &order_root_;
  while ((*link)->key() != key) link = child_toward(*link, key);
  return link;
}

void StateEntries::append_keys_with_prefix(std::string_view prefix,
                                           std::vector<std::string>& out) const {
  collect_with_prefix(order_root_, prefix, out);
}

InMemoryStateStore::InMemoryStateStore(KeyHashing hashing, std::size_t shards)
    : hash_(hashing), shard_mask_(shards - 1), shards_(std::make_unique<Shard[]>(shards)) {
  if (shards == 0 || shards > kMostShards || (shards & shard_mask_) != 0) {
    throw std::invalid_argument("state shards: a power of two up to 64");
  }
}

HashedKey InMemoryStateStore::hashed(std::string_view key) const { return hash_(KeyText(key)); }

// The product's top bits mix every bit of the hash, whose low bits pick the
// slot within the shard.
const Guarded<StateEntries>& InMemoryStateStore::shard(std::uint64_t hash) const {
  constexpr std::uint64_t kGoldenRatio = 0x9E3779B97F4A7C15u;
  return shards_[static_cast<std::size_t>((hash * kGoldenRatio) >> 58) & shard_mask_].entries;
}

Guarded<StateEntries>& InMemoryStateStore::shard(std::uint64_t hash) {
  return const_cast<Guarded<StateEntries>&>(std::as_const(*this).shard(hash));
}

template <class Section>
auto InMemoryStateStore::read_shard(std::uint64_t hash, Section&& section) const {
  using Result = decltype(read_or_poisoned(shard(hash), poisoned, section));
  if (poisoned_.load(std::memory_order_acquire)) return Result(unexpected(poisoned()));
  return read_or_poisoned(shard(hash), poisoned, section);
}

// The handler is inside the section: waiting for the lock may take the
// outer lock back, which may end the thread by a forced unwind that no
// catch (...) may see (python/interpreter_lock.h).
template <class Section>
auto InMemoryStateStore::poisoning(Section& section) {
  return [this, &section](auto& entries) -> decltype(section(entries)) {
    try {
      return section(entries);
    } catch (const std::bad_alloc&) {
      throw;
    } catch (...) {
      poisoned_.store(true, std::memory_order_release);
      throw;
    }
  };
}

template <class Section>
MeshResult<void> InMemoryStateStore::write_shard(std::uint64_t hash, Section&& section) {
  if (poisoned_.load(std::memory_order_acquire)) return unexpected(poisoned());
  return write_or_poisoned(shard(hash), poisoned, poisoning(section));
}

template <class Section>
MeshResult<bool> InMemoryStateStore::write_in_place(std::uint64_t hash, Section&& section) {
  return read_shard(hash, poisoning(section));
}

template <class Fn>
bool InMemoryStateStore::read_all(Fn&& fn) const {
  if (poisoned_.load(std::memory_order_acquire)) return false;
  return Guarded<StateEntries>::read_together(
      shard_mask_ + 1,
      [&](std::size_t i) -> const Guarded<StateEntries>& { return shards_[i].entries; }, fn);
}

MeshResult<bool> InMemoryStateStore::get(std::string_view key, std::string* out) const {
  const HashedKey hashed_key = hashed(key);
  return read_shard(hashed_key.hash, [&](const StateEntries& entries) {
    return entries.copy_value(hashed_key.text, hashed_key.hash, out);
  });
}

MeshResult<InMemoryStateStore::ValueRead> InMemoryStateStore::read(std::string_view key,
                                                                   std::size_t max_bytes,
                                                                   std::string* out,
                                                                   TextShape* shape) const {
  return read(hashed(key), max_bytes, out, shape);
}

MeshResult<InMemoryStateStore::ValueRead> InMemoryStateStore::read(HashedKey key,
                                                                   std::size_t max_bytes,
                                                                   std::string* out,
                                                                   TextShape* shape) const {
  return read_shard(key.hash, [&](const StateEntries& entries) {
    return entries.read_value(key.text, key.hash, max_bytes, out, shape);
  });
}

MeshResult<InMemoryStateStore::ValueRead> InMemoryStateStore::read(HashedKey key,
                                                                   std::span<char> room,
                                                                   std::size_t* size,
                                                                   TextShape* shape) const {
  return read_shard(key.hash, [&](const StateEntries& entries) {
    const StateEntries::Block* block = entries.find(key.text, key.hash);
    return block != nullptr ? block->copy_value(room, size, shape) : RecordRead::kAbsent;
  });
}

MeshResult<void> InMemoryStateStore::set(std::string_view key, std::string_view value) {
  return set(hashed(key), value, shape_of(value));
}

MeshResult<void> InMemoryStateStore::set(std::string_view key, std::string_view value,
                                         const TextShape& shape) {
  return set(hashed(key), value, shape);
}

MeshResult<void> InMemoryStateStore::set(HashedKey key, std::string_view value,
                                         const TextShape& shape) {
  // About as long to copy as to find the entry.
  constexpr std::size_t kCopiedUnderTheLock = 256;
  static_assert(StateEntries::kLongestWrittenBesideReaders <= kCopiedUnderTheLock);
  if (kWritesBesideReaders && value.size() <= StateEntries::kLongestWrittenBesideReaders) {
    const MeshResult<bool> written = write_in_place(key.hash, [&](const StateEntries& entries) {
      inject_fault(FaultSite::kStateWrite);
      return entries.overwrite_in_place(key.text, key.hash, value, shape);
    });
    if (!written || *written) return written ? MeshResult<void>() : unexpected(written.error());
  }
  StateEntries::BlockPtr block;
  if (value.size() > kCopiedUnderTheLock) {
    block = StateEntries::make_block(key.text, key.hash, value, shape);
  }
  StateEntries::BlockPtr replaced;  // released after the lock
  return write_shard(key.hash, [&](StateEntries& entries) {
    inject_fault(FaultSite::kStateWrite);
    replaced = block ? entries.assign(block) : entries.assign(key.text, key.hash, value, shape);
  });
}

MeshResult<void> InMemoryStateStore::erase(std::string_view key) { return erase(hashed(key)); }

MeshResult<void> InMemoryStateStore::erase(HashedKey key) {
  StateEntries::BlockPtr removed;  // released after the lock
  return write_shard(key.hash, [&](StateEntries& entries) {
    inject_fault(FaultSite::kStateWrite);
    removed = entries.remove(key.text, key.hash);
  });
}

MeshResult<bool> InMemoryStateStore::exists(std::string_view key) const {
  return exists(hashed(key));
}

MeshResult<bool> InMemoryStateStore::exists(HashedKey key) const {
  return read_shard(
      key.hash, [&](const StateEntries& entries) { return entries.contains(key.text, key.hash); });
}

MeshResult<std::vector<std::string>> InMemoryStateStore::keys_with_prefix(
    std::string_view prefix) const {
  // Each shard's keys come sorted: the runs are merged in pairs, after the
  // locks are let go.
  std::vector<std::string> keys;
  std::vector<std::size_t> run_starts;
  const bool listed = read_all([&](const StateEntries& entries) {
    run_starts.push_back(keys.size());
    entries.append_keys_with_prefix(prefix, keys);
  });
  if (!listed) return unexpected(poisoned());
  run_starts.push_back(keys.size());
  for (std::size_t runs = run_starts.size() - 1; runs > 1; runs = run_starts.size() - 1) {
    const auto at = [&](std::size_t bound) {
      return keys.begin() + static_cast<std::ptrdiff_t>(run_starts[bound]);
    };
    std::size_t kept = 0;
    for (std::size_t run = 0; run < runs; run += 2) {
      if (run + 1 < runs) std::inplace_merge(at(run), at(run + 1), at(run + 2));
      run_starts[kept++] = run_starts[run];
    }
    run_starts[kept++] = run_starts[runs];
    run_starts.resize(kept);
  }
  return keys;
}

StateEntries::SearchCost InMemoryStateStore::TEST_search_cost(std::string_view key) const {
  const std::uint64_t hash = hashed(key).hash;
  StateEntries::SearchCost cost{0, 0};
  shard(hash).read(
      [&](const StateEntries& entries) { cost = entries.TEST_search_cost(key, hash); });
  return cost;
}

std::uint64_t InMemoryStateStore::key_count() const {
  std::uint64_t count = 0;
  if (!read_all([&](const StateEntries& entries) { count += entries.size(); })) return 0;
  return count;
}

}  // namespace vennu
