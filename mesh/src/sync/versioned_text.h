// Text that one writer at a time overwrites in place while readers copy it,
// with no lock between them and nothing written by the readers.
//
// The writer makes the version odd, writes, and makes it even again; a
// reader copies between two reads of the version and copies again when it
// moved. For a short value that many threads read and some write now and
// then, a reader then writes no shared line at all, and a write moves only
// the version's and the text's lines from core to core: a reader-writer
// lock also moves its lock word and its reader counts, and makes readers
// and the writer wait for each other.
//
// The text lives in words that both sides access as atomics, so a copy that
// races a write reads some mix of old and new words, which the version
// check throws away, and never makes a data race. The writer stores with
// release order and the reader loads with acquire order (plain moves on
// x86-64), rather than fencing: a load that sees a store of a write in
// progress then also sees that write's odd version, and ThreadSanitizer,
// which does not model fences, sees the same ordering. The owner keeps
// the words in storage of its own (a block of variable size): it makes them
// with TextWords::construct, and a text stored there later must fit them.
//
// All this only where threads run at once (MESH_STRIPED_READERS): elsewhere
// (kWritesBesideReaders false) the owner writes in place under its
// exclusive lock, the text is plain bytes copied by memcpy, and the version
// does nothing, which keeps the atomic copies' cost off those builds. Both
// kinds can be made on any build, for tests.
//
// Thread safety: with kBesideReaders, read and write may run on any number
// of threads at once; writes exclude each other by the version. A reader or
// writer that finds a write under way spins briefly, then yields its
// processor until the write ends, which is not long: a write copies a short
// text and waits for nothing else. Without kBesideReaders, a write must not
// run beside anything else on the same text.

#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <string_view>
#include <thread>
#include <type_traits>

#include "sync/parking.h"

namespace vennu {

#if defined(MESH_STRIPED_READERS)
inline constexpr bool kWritesBesideReaders = true;
#else
inline constexpr bool kWritesBesideReaders = false;
#endif

using TextWord = std::uintptr_t;
static_assert(std::atomic<TextWord>::is_always_lock_free);

inline constexpr std::size_t text_words_for(std::size_t bytes) {
  return (bytes + sizeof(TextWord) - 1) / sizeof(TextWord);
}

template <bool kBesideReaders>
struct TextWords {
  using Word = std::conditional_t<kBesideReaders, std::atomic<TextWord>, TextWord>;
  static_assert(sizeof(Word) == sizeof(TextWord));

  // Makes text_words_for(text.size()) words holding text at storage, which
  // is aligned for TextWord, and returns the first.
  static Word* construct(void* storage, std::string_view text) {
    auto* const words = static_cast<Word*>(storage);
    if constexpr (kBesideReaders) {
      for_each_word(text, [&](std::size_t i, TextWord word) { new (words + i) Word(word); });
    } else {
      std::memcpy(storage, text.data(), text.size());
    }
    return std::launder(words);
  }

  // Overwrites the words from words on with text.
  static void store(Word* words, std::string_view text) {
    if constexpr (kBesideReaders) {
      for_each_word(text, [&](std::size_t i, TextWord word) {
        words[i].store(word, std::memory_order_release);
      });
    } else {
      std::memcpy(words, text.data(), text.size());
    }
  }

  // Copies the size bytes that the words from words on hold to out, which
  // has room for text_words_for(size) words: the bytes of it past size are
  // left unspecified, as the copy may take the last word whole.
  static void load(const Word* words, char* out, std::size_t size) {
    if constexpr (kBesideReaders) {
      const auto copy_word = [&](std::size_t i) {
        const TextWord word = words[i].load(std::memory_order_acquire);
        std::memcpy(out + i * sizeof(TextWord), &word, sizeof word);
      };
      // Four at a time: a compiler does not unroll atomic loads itself.
      const std::size_t count = text_words_for(size);
      std::size_t i = 0;
      for (; i + 4 <= count; i += 4) {
        copy_word(i);
        copy_word(i + 1);
        copy_word(i + 2);
        copy_word(i + 3);
      }
      for (; i < count; ++i) copy_word(i);
    } else {
      std::memcpy(out, words, size);
    }
  }

 private:
  // fn(i, word) for each word of text, the last one padded with zeros.
  template <class Fn>
  static void for_each_word(std::string_view text, const Fn& fn) {
    const std::size_t whole = text.size() / sizeof(TextWord);
    for (std::size_t i = 0; i < whole; ++i) {
      TextWord word;
      std::memcpy(&word, text.data() + i * sizeof(TextWord), sizeof word);
      fn(i, word);
    }
    if (const std::size_t rest = text.size() % sizeof(TextWord); rest != 0) {
      TextWord word = 0;
      std::memcpy(&word, text.data() + whole * sizeof(TextWord), rest);
      fn(whole, word);
    }
  }
};

// The version of a text written in place.
template <bool kBesideReaders>
class TextVersion {
 public:
  // Runs copy() until one run saw no write: began after any write under way
  // ended, and none began before it was over. Returns that run's result.
  // copy reads the text through TextWords::load and acquire loads only,
  // and must not act on what it read before read returns: a run that raced
  // a write may have read a mix.
  template <class Copy>
  auto read(Copy&& copy) const {
    if constexpr (!kBesideReaders) {
      return copy();
    } else {
      for (unsigned spins = 0;; ++spins) {
        const std::uint32_t before = version_.load(std::memory_order_acquire);
        if ((before & 1) == 0) {
          auto result = copy();
          // The copy's acquire loads keep this load after them.
          if (version_.load(std::memory_order_relaxed) == before) return result;
        }
        wait_for_writer(spins);
      }
    }
  }

  // Runs write() as the only writer, waiting for one under way to end.
  // write changes the text through TextWords::store and release stores
  // only, which the odd version then comes before.
  template <class Write>
  void write(Write&& write) {
    if constexpr (!kBesideReaders) {
      write();
    } else {
      std::uint32_t version = version_.load(std::memory_order_relaxed);
      for (unsigned spins = 0;; ++spins) {
        if ((version & 1) == 0 &&
            version_.compare_exchange_weak(version, version + 1, std::memory_order_acquire,
                                           std::memory_order_relaxed)) {
          break;
        }
        wait_for_writer(spins);
        version = version_.load(std::memory_order_relaxed);
      }
      write();
      version_.store(version + 2, std::memory_order_release);
    }
  }

 private:
  static void wait_for_writer(unsigned spins) {
    constexpr unsigned kSpins = 64;
    if (spins < kSpins) {
      pause_spinning_thread();
    } else {
      std::this_thread::yield();
    }
  }

  std::atomic<std::uint32_t> version_{0};
};

}  // namespace vennu
