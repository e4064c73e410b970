#include "json/canonical.h"

#include <algorithm>
#include <cstddef>
#include <vector>

#include "base/insertion_sort.h"
#include "base/thread_scratch.h"
#include "json/escapes.h"
#include "json/number.h"
#include "json/quick_check.h"
#include "json/scanner.h"
#include "json/string_runs.h"
#include "json/utf8.h"

namespace vennu::json {
namespace {

// A key as the canonicalizer wrote it, quotes excluded.
struct WrittenKey {
  std::string_view text;
  bool escaped;  // may hold a backslash escape
};

// The next byte that a written key stands for. The writer escapes only with
// \" \\ \b \f \n \r \t and \u00XX.
unsigned char next_key_byte(const char*& p) {
  if (*p != '\\') return static_cast<unsigned char>(*p++);
  const char kind = p[1];
  p += 2;
  if (kind == 'u') {
    const int value = hex_digit(p[2]) * 16 + hex_digit(p[3]);
    p += 4;
    return static_cast<unsigned char>(value);
  }
  return static_cast<unsigned char>(short_escape_byte(kind));
}

int compare_decoded_keys(std::string_view a, std::string_view b) {
  const char* p = a.data();
  const char* const p_end = p + a.size();
  const char* q = b.data();
  const char* const q_end = q + b.size();
  while (p != p_end && q != q_end) {
    const unsigned char x = next_key_byte(p);
    const unsigned char y = next_key_byte(q);
    if (x != y) return x < y ? -1 : 1;
  }
  return static_cast<int>(p != p_end) - static_cast<int>(q != q_end);
}

// Orders written keys by the bytes they stand for. An escape can put the
// written bytes out of that order ('"' is written "\"", after "A"), so keys
// that may hold one are compared as they decode.
inline int compare_keys(WrittenKey a, WrittenKey b) {
  if (!a.escaped && !b.escaped) return compare_bytes(a.text, b.text);
  return compare_decoded_keys(a.text, b.text);
}

// Bytes moved to put members in key order on this thread.
thread_local std::uint64_t reordered_bytes = 0;

// Copies a JSON text into its compact form without building a tree. Members
// of each object are written as they come; the steps are the reader's, so the
// errors are parse's.
//
// An object whose keys did not arrive strictly ascending is put in key order
// when it is closed, keeping the last of repeated keys. Mostly its members
// are rewritten in place at once. But moving an object moves again whatever
// was reordered inside it, and doing so at every level of a deep document
// costs the size times the depth. So an object is rewritten in place only
// when at most half of its text was already moved in place inside it and
// none of it waits for the final pass; otherwise it only records its members
// in key order, and once the outermost object closes, its text is rewritten
// in one pass that follows the recorded orders. The bytes moved in place then
// stay within 1.5 times the text (an object moved in place is at least twice
// what moved inside it), and the final pass moves each byte once more.
//
// The compact form of anything but a double is never longer than the text
// it comes from, so the output keeps room for all the input still to read
// plus kSlack, enough for any double, and is written through a bare pointer;
// only a double checks for room, after it is written. The input and output
// cursors travel together through the calls, which keeps both in registers.
class Canonicalizer {
 public:
  // Writes the compact form of text to out, or returns why it does not read.
  static std::optional<Error> run(std::string_view text, std::string& out) {
    Canonicalizer canonicalizer(text, out);
    return canonicalizer.copy_text();
  }

  // run, also setting shape to that of what it appended.
  static std::optional<Error> run(std::string_view text, std::string& out, TextShape& shape) {
    const std::size_t start = out.size();
    Canonicalizer canonicalizer(text, out);
    if (auto error = canonicalizer.copy_text()) return error;
    const std::string_view written(out.data() + start, out.size() - start);
    if (canonicalizer.width_ == CharWidth::kAscii) {
      shape = {written.size(), CharWidth::kAscii};
    } else if (canonicalizer.dropped_) {
      // A repeated key's member that was left out may have held characters
      // counted here.
      shape = shape_of(written);
    } else {
      shape = {written.size() - canonicalizer.extra_bytes_, canonicalizer.width_};
    }
    return std::nullopt;
  }

 private:
  // Room kept beyond the input left: the longest double.
  static constexpr std::size_t kSlack = kDecimalTextSize;

  struct Cursors {
    const char* in;  // null once a step failed
    char* out;
  };
  static constexpr Cursors kFailed{nullptr, nullptr};

  struct MemberSpan {
    std::size_t text_begin;  // the key's opening quote, in the output
    std::size_t key_end;     // past the key's closing quote
    std::size_t text_end;    // past the value
    // The objects recorded for reordering inside the value: indexes into
    // Scratch::reordered, which lists them as they close, so that each
    // object's nested ones come right before it.
    std::size_t nested_begin;
    std::size_t nested_end;
    bool key_escaped;  // the key may hold an escape
  };

  // An object whose members are still to be put in key order.
  struct ReorderedObject {
    std::size_t text_begin;    // of its first member
    std::size_t text_end;      // past its last member
    std::size_t nested_begin;  // the first object recorded inside it
    std::size_t kept_begin;    // its members to write, in Scratch::kept
    std::size_t kept_end;
  };

  struct SortEntry {
    WrittenKey key;
    std::size_t index;  // in members
  };

  // Reused between calls on a thread, so that small texts allocate nothing.
  struct Scratch {
    std::vector<MemberSpan> members;  // of all open objects, innermost last
    std::vector<SortEntry> order;
    std::vector<ReorderedObject> reordered;
    std::vector<MemberSpan> kept;  // of the reordered objects, in key order
    std::vector<std::size_t> roots;
    std::string region;
  };

  Canonicalizer(std::string_view text, std::string& out)
      : scanner_(text), text_(out), scratch_(scratch()) {}
  ~Canonicalizer() {
    if (moved_ != 0) reordered_bytes += moved_;
    reset_scratch(scratch_.members);
    reset_scratch(scratch_.order);
    reset_scratch(scratch_.reordered);
    reset_scratch(scratch_.kept);
    reset_scratch(scratch_.roots);
    reset_scratch(scratch_.region);
  }
  Canonicalizer(const Canonicalizer&) = delete;
  Canonicalizer& operator=(const Canonicalizer&) = delete;

  static Scratch& scratch() {
    thread_local Scratch scratch;
    return scratch;
  }

  std::optional<Error> copy_text() {
    const std::size_t start = text_.size();
    text_.resize(start + input_left(scanner_.cursor()) + kSlack);
    limit_ = text_.data() + text_.size();
    const Cursors end = copy_value({scanner_.cursor(), text_.data() + start});
    text_.resize(end.in != nullptr ? offset(end.out) : start);
    if (scanner_.advance(end.in) && scanner_.finish()) return std::nullopt;
    text_.resize(start);  // trailing characters fail after the value is written
    return scanner_.error();
  }

  std::size_t input_left(const char* p) const {
    return static_cast<std::size_t>(scanner_.end() - p);
  }
  std::size_t offset(const char* out) const { return static_cast<std::size_t>(out - text_.data()); }

  // Grows the output, if need be, to room bytes past out; returns where out
  // is then.
  char* make_room(char* out, std::size_t room) {
    if (static_cast<std::size_t>(limit_ - out) >= room) return out;
    const std::size_t used = offset(out);
    text_.resize(std::max(text_.size() * 2, used + room));
    limit_ = text_.data() + text_.size();
    return text_.data() + used;
  }

  // The key of a member whose text starts at text + (text_begin - offset).
  static WrittenKey key_of(const MemberSpan& member, const char* text, std::size_t offset) {
    return {std::string_view(text + (member.text_begin - offset) + 1,
                             member.key_end - member.text_begin - 2),
            member.key_escaped};
  }

  Cursors copy_value(Cursors at) {
    const char* const p = scanner_.skip_space(at.in);
    if (p == scanner_.end()) return failed(scanner_.not_a_value(p));
    switch (*p) {
      case '"': {
        bool escaped = false;
        return copy_string({p, at.out}, escaped);
      }
      case '[':
        return copy_array({p, at.out});
      case '{':
        return copy_object({p, at.out});
      // clang-format off
      case '-':
      case '0': case '1': case '2': case '3': case '4':
      case '5': case '6': case '7': case '8': case '9':
        // clang-format on
        return copy_number({p, at.out});
      case 't':
        return copy_literal({p, at.out}, "true");
      case 'f':
        return copy_literal({p, at.out}, "false");
      case 'n':
        return copy_literal({p, at.out}, "null");
      default:
        return failed(scanner_.not_a_value(p));
    }
  }

  static Cursors failed(std::nullptr_t) { return kFailed; }

  [[gnu::always_inline]] Cursors copy_string(Cursors at, bool& escaped) {
    *at.out = '"';
    CompactSink sink{at.out + 1};
    const char* const p = scanner_.scan_string(at.in, sink);
    if (p == nullptr) return kFailed;
    *sink.out = '"';
    escaped = sink.escaped;
    extra_bytes_ += sink.extra_bytes;
    width_ = std::max(width_, sink.width);
    return {p, sink.out + 1};
  }

  Cursors copy_literal(Cursors at, std::string_view word) {
    const char* const p = scanner_.scan_literal(at.in, word);
    if (p == nullptr) return kFailed;
    copy_bytes(at.out, word.data(), word.size());
    return {p, at.out + word.size()};
  }

  Cursors copy_number(Cursors at) {
    CompactNumber number;
    const char* const p = scanner_.scan_compact_number(at.in, number);
    if (p == nullptr) return kFailed;
    if (!number.text.empty()) {
      copy_bytes(at.out, number.text.data(), number.text.size());
      return {p, at.out + number.text.size()};
    }
    // A double may be longer than its text ("1e15"). The slack holds it;
    // then the room owed to the rest of the input is restored.
    char* const out = write_decimal(at.out, number.decimal, true);
    return {p, make_room(out, input_left(p) + kSlack)};
  }

  // The containers stay out of line, so that copy_value, which every
  // scalar goes through, keeps few registers to save.
  [[gnu::noinline]] Cursors copy_array(Cursors at) {
    const char* p = scanner_.open_level(at.in);
    if (p == nullptr) return kFailed;
    char* out = at.out;
    *out++ = '[';
    for (bool first = true;; first = false) {
      const auto step = scanner_.scan_element(p, first);
      if (step == ScanStep::kFailed) return kFailed;
      if (step == ScanStep::kEnd) break;
      if (!first) *out++ = ',';
      const Cursors next = copy_value({p, out});
      if (next.in == nullptr) return kFailed;
      p = next.in;
      out = next.out;
    }
    *out++ = ']';
    return {p, out};
  }

  [[gnu::noinline]] Cursors copy_object(Cursors at) {
    const char* p = scanner_.open_level(at.in);
    if (p == nullptr) return kFailed;
    char* out = at.out;
    *out++ = '{';
    std::vector<MemberSpan>& members = scratch_.members;
    const std::size_t base = members.size();
    const std::size_t nested_begin = recorded_;
    const std::size_t moved_in_place_before = moved_in_place_;
    bool ascending = true;
    for (bool first = true;; first = false) {
      const auto step = scanner_.scan_key(p, first);
      if (step == ScanStep::kFailed) return kFailed;
      if (step == ScanStep::kEnd) break;
      if (!first) *out++ = ',';
      // Filled in place: a member copied in whole right after its flag byte
      // was stored would stall on the store.
      const std::size_t index = members.size();
      MemberSpan& member = members.emplace_back();
      member.text_begin = offset(out);
      member.nested_begin = recorded_;
      Cursors next = copy_string({p, out}, member.key_escaped);
      if (next.in == nullptr) return kFailed;
      member.key_end = offset(next.out);
      if (ascending && index > base &&
          compare_keys(key_of(members[index - 1], text_.data(), 0),
                       key_of(member, text_.data(), 0)) >= 0) {
        ascending = false;
      }
      p = scanner_.scan_colon(next.in);
      if (p == nullptr) return kFailed;
      out = next.out;
      *out++ = ':';
      next = copy_value({p, out});  // may move the members and the output
      if (next.in == nullptr) return kFailed;
      p = next.in;
      out = next.out;
      members[index].text_end = offset(out);
      members[index].nested_end = recorded_;
    }
    if (!ascending) {
      const std::size_t size = offset(out) - members[base].text_begin;
      if (recorded_ == nested_begin && (moved_in_place_ - moved_in_place_before) * 2 <= size) {
        out = reorder(base, out);
        moved_in_place_ += size;
      } else {
        record_order(base, nested_begin);
      }
    }
    // Only an outermost object is rewritten: nothing encloses it that could
    // be reordered later and move it again.
    if (base == 0 && recorded_ != nested_begin) {
      out = rewrite_in_order(members[base].text_begin, out);
    }
    members.resize(base);
    *out++ = '}';
    return {p, out};
  }

  // By key, keeping entries with equal keys in index order; past the
  // insertion sort's limit the index breaks ties, so that std::sort, which
  // needs no buffer, is stable too.
  static void sort_stably(std::vector<SortEntry>& entries) {
    if (entries.size() > kInsertionSortLimit) {
      std::sort(entries.begin(), entries.end(), [](const SortEntry& a, const SortEntry& b) {
        const int by_key = compare_keys(a.key, b.key);
        return by_key != 0 ? by_key < 0 : a.index < b.index;
      });
      return;
    }
    insertion_sort(entries.begin(), entries.end(), [](const SortEntry& a, const SortEntry& b) {
      return compare_keys(a.key, b.key) < 0;
    });
  }

  // Fills Scratch::order with the members from base on, whose text starts
  // at text + (text_begin - offset), in key order.
  void sort_members(std::size_t base, const char* text, std::size_t offset) {
    const std::vector<MemberSpan>& members = scratch_.members;
    std::vector<SortEntry>& order = scratch_.order;
    order.resize(members.size() - base);
    for (std::size_t i = base; i < members.size(); ++i) {
      // Field by field: an entry built whole and then copied is read back
      // with one wide load right after its narrow stores, which stalls.
      SortEntry& entry = order[i - base];
      entry.key.text = key_of(members[i], text, offset).text;
      entry.key.escaped = members[i].key_escaped;
      entry.index = i;
    }
    sort_stably(order);
  }

  // Rewrites the members from base on, which end at out, in key order; of
  // repeated keys only the last is kept, as the later value replaces the
  // earlier one. Returns the new end.
  char* reorder(std::size_t base, char* out) {
    const std::vector<MemberSpan>& members = scratch_.members;
    const std::size_t region_begin = members[base].text_begin;
    std::string& region = scratch_.region;
    region.assign(text_.data() + region_begin, offset(out) - region_begin);
    moved_ += region.size();

    const std::vector<SortEntry>& order = scratch_.order;
    sort_members(base, region.data(), region_begin);

    out = text_.data() + region_begin;
    for (std::size_t i = 0; i < order.size(); ++i) {
      if (i + 1 < order.size() && compare_keys(order[i].key, order[i + 1].key) == 0) {
        dropped_ = true;
        continue;
      }
      if (offset(out) != region_begin) *out++ = ',';
      const MemberSpan& member = members[order[i].index];
      const std::size_t size = member.text_end - member.text_begin;
      copy_bytes(out, region.data() + (member.text_begin - region_begin), size);
      out += size;
    }
    moved_ += offset(out) - region_begin;
    return out;
  }

  // Records the members from base on in key order; of repeated keys only
  // the last is kept, as the later value replaces the earlier one.
  void record_order(std::size_t base, std::size_t nested_begin) {
    const std::vector<MemberSpan>& members = scratch_.members;
    const std::vector<SortEntry>& order = scratch_.order;
    sort_members(base, text_.data(), 0);

    std::vector<MemberSpan>& kept = scratch_.kept;
    const std::size_t kept_begin = kept.size();
    for (std::size_t i = 0; i < order.size(); ++i) {
      if (i + 1 < order.size() && compare_keys(order[i].key, order[i + 1].key) == 0) {
        dropped_ = true;
        continue;
      }
      kept.push_back(members[order[i].index]);
    }
    scratch_.reordered.push_back(
        {members[base].text_begin, members.back().text_end, nested_begin, kept_begin, kept.size()});
    ++recorded_;
  }

  // Rewrites the output from text_begin to out, an outermost object's
  // members, with every object recorded inside it in key order; they are
  // then forgotten. Returns the new end.
  char* rewrite_in_order(std::size_t text_begin, char* out) {
    std::string& region = scratch_.region;
    region.assign(text_.data() + text_begin, offset(out) - text_begin);
    moved_ += region.size();
    char* const begin = text_.data() + text_begin;
    const MemberSpan whole{text_begin, 0, offset(out), 0, recorded_, false};
    out = write_in_order(region.data(), text_begin, whole, begin);
    moved_ += static_cast<std::size_t>(out - begin);
    scratch_.reordered.clear();
    scratch_.kept.clear();
    recorded_ = 0;
    return out;
  }

  // Writes the text of span, which the output had at offsets from origin on
  // and from now holds, with the objects recorded inside it in key order.
  // Each level copies the bytes between the outermost recorded objects in
  // span and writes their members through this, so every byte is copied once.
  char* write_in_order(const char* from, std::size_t origin, const MemberSpan& span, char* out) {
    const std::vector<ReorderedObject>& reordered = scratch_.reordered;
    // The outermost objects come last first: before each lie its nested ones.
    std::vector<std::size_t>& roots = scratch_.roots;
    const std::size_t roots_base = roots.size();
    std::size_t next = span.nested_end;
    while (next > span.nested_begin) {
      roots.push_back(next - 1);
      next = reordered[next - 1].nested_begin;
    }
    std::size_t position = span.text_begin;
    for (std::size_t r = roots.size(); r > roots_base; --r) {
      const ReorderedObject& object = reordered[roots[r - 1]];
      copy_bytes(out, from + (position - origin), object.text_begin - position);
      out += object.text_begin - position;
      for (std::size_t k = object.kept_begin; k < object.kept_end; ++k) {
        if (k != object.kept_begin) *out++ = ',';
        out = write_in_order(from, origin, scratch_.kept[k], out);
      }
      position = object.text_end;
    }
    roots.resize(roots_base);
    copy_bytes(out, from + (position - origin), span.text_end - position);
    return out + (span.text_end - position);
  }

  Scanner scanner_;
  std::string& text_;
  char* limit_ = nullptr;           // of the room in text_
  std::size_t moved_in_place_ = 0;  // bytes of the objects reordered in place
  std::size_t recorded_ = 0;        // scratch_.reordered.size(), kept at hand
  std::uint64_t moved_ = 0;         // bytes, for reordered_bytes
  Scratch& scratch_;
  // Of the strings written: the bytes beyond the first of each code point,
  // and the widest code point.
  std::size_t extra_bytes_ = 0;
  CharWidth width_ = CharWidth::kAscii;
  bool dropped_ = false;  // a repeated key's member was left out
};

}  // namespace

std::uint64_t TEST_reordered_bytes_on_this_thread() { return reordered_bytes; }

Expected<std::string, Error> canonicalize(std::string_view text) {
  if (TextShape shape; quick_check_canonical(text, shape)) return std::string(text);
  std::string out;
  if (auto error = Canonicalizer::run(text, out)) return unexpected(std::move(*error));
  return out;
}

std::optional<Error> canonicalize(std::string_view text, std::string& out, TextShape& shape) {
  if (quick_check_canonical(text, shape)) {
    out.append(text);
    return std::nullopt;
  }
  return Canonicalizer::run(text, out, shape);
}

}  // namespace vennu::json
