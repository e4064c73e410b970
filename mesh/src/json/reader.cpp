#include "json/reader.h"

#include <iterator>
#include <utility>
#include <vector>

#include "base/thread_scratch.h"
#include "json/quick_check.h"
#include "json/writer.h"

namespace vennu::json {
namespace {

// The elements of the containers being read into a tree, innermost last, on
// one stack per thread; a finished container takes its own elements at their
// final count, so it is allocated once.
template <class T>
class StackFrame {
 public:
  explicit StackFrame(std::vector<T>& stack) : stack_(stack), base_(stack.size()) {}
  ~StackFrame() {
    stack_.erase(stack_.begin() + base_, stack_.end());
    if (base_ == 0) reset_scratch(stack_);
  }
  StackFrame(const StackFrame&) = delete;
  StackFrame& operator=(const StackFrame&) = delete;

  void push(T item) { stack_.push_back(std::move(item)); }
  std::vector<T> take() {
    return std::vector<T>(std::make_move_iterator(stack_.begin() + base_),
                          std::make_move_iterator(stack_.end()));
  }

 private:
  std::vector<T>& stack_;
  std::size_t base_;
};

std::vector<Value>& element_stack() {
  thread_local std::vector<Value> stack;
  return stack;
}

std::vector<Member>& member_stack() {
  thread_local std::vector<Member> stack;
  return stack;
}

bool number_value(Scanner& scanner, const NumberText& number, Value& out) {
  if (number.keeps_integer_kind()) {
    const std::uint64_t magnitude = number.magnitude();
    out = number.negative ? Value::signed_integer(static_cast<std::int64_t>(0 - magnitude))
                          : Value::unsigned_integer(magnitude);
    return true;
  }
  double d = 0;
  if (!scanner.number_double(number, d)) return false;
  out = Value::floating(d);
  return true;
}

// The value at p into a tree.
const char* scan_value(Scanner& scanner, const char* p, Value& out) {
  p = scanner.skip_space(p);
  if (p == scanner.end()) return scanner.not_a_value(p);
  switch (*p) {
    case 'n':
      p = scanner.scan_literal(p, "null");
      if (p != nullptr) out = Value();
      return p;
    case 't':
      p = scanner.scan_literal(p, "true");
      if (p != nullptr) out = Value::boolean(true);
      return p;
    case 'f':
      p = scanner.scan_literal(p, "false");
      if (p != nullptr) out = Value::boolean(false);
      return p;
    case '"': {
      std::string text;
      DecodedSink sink{text};
      p = scanner.scan_string(p, sink);
      if (p != nullptr) out = Value::string(std::move(text));
      return p;
    }
    // clang-format off
    case '-':
    case '0': case '1': case '2': case '3': case '4':
    case '5': case '6': case '7': case '8': case '9': {
      // clang-format on
      NumberText number;
      p = scanner.scan_number(p, number);
      return p != nullptr && number_value(scanner, number, out) ? p : nullptr;
    }
    case '[': {
      p = scanner.open_level(p);
      if (p == nullptr) return nullptr;
      StackFrame<Value> items(element_stack());
      for (bool first = true;; first = false) {
        const ScanStep step = scanner.scan_element(p, first);
        if (step == ScanStep::kFailed) return nullptr;
        if (step == ScanStep::kEnd) break;
        Value item;
        p = scan_value(scanner, p, item);
        if (p == nullptr) return nullptr;
        items.push(std::move(item));
      }
      out = Value::array(items.take());
      return p;
    }
    case '{': {
      p = scanner.open_level(p);
      if (p == nullptr) return nullptr;
      StackFrame<Member> members(member_stack());
      for (bool first = true;; first = false) {
        const ScanStep step = scanner.scan_key(p, first);
        if (step == ScanStep::kFailed) return nullptr;
        if (step == ScanStep::kEnd) break;
        Member member;
        DecodedSink key{member.first};
        p = scanner.scan_string(p, key);
        if (p != nullptr) p = scanner.scan_colon(p);
        if (p != nullptr) p = scan_value(scanner, p, member.second);
        if (p == nullptr) return nullptr;
        members.push(std::move(member));
      }
      out = Value::object(Object::from_unsorted(members.take()));
      return p;
    }
    default:
      return scanner.not_a_value(p);
  }
}

// skip_value's walk; with kCheckNumberRange also the range check of
// numbers, which makes it validate's.
template <bool kCheckNumberRange>
const char* scan_and_drop(Scanner& scanner, const char* p) {
  p = scanner.skip_space(p);
  if (p == scanner.end()) return scanner.not_a_value(p);
  switch (*p) {
    case '"': {
      DiscardSink sink;
      return scanner.scan_string(p, sink);
    }
    // clang-format off
    case '-':
    case '0': case '1': case '2': case '3': case '4':
    case '5': case '6': case '7': case '8': case '9': {
      // clang-format on
      NumberText number;
      p = scanner.scan_number(p, number);
      return p != nullptr && (!kCheckNumberRange || scanner.number_in_range(number)) ? p : nullptr;
    }
    case '[': {
      p = scanner.open_level(p);
      if (p == nullptr) return nullptr;
      for (bool first = true;; first = false) {
        const ScanStep step = scanner.scan_element(p, first);
        if (step != ScanStep::kItem) return step == ScanStep::kEnd ? p : nullptr;
        p = scan_and_drop<kCheckNumberRange>(scanner, p);
        if (p == nullptr) return nullptr;
      }
    }
    case '{': {
      p = scanner.open_level(p);
      if (p == nullptr) return nullptr;
      for (bool first = true;; first = false) {
        const ScanStep step = scanner.scan_key(p, first);
        if (step != ScanStep::kItem) return step == ScanStep::kEnd ? p : nullptr;
        DiscardSink key;
        p = scanner.scan_string(p, key);
        if (p != nullptr) p = scanner.scan_colon(p);
        if (p != nullptr) p = scan_and_drop<kCheckNumberRange>(scanner, p);
        if (p == nullptr) return nullptr;
      }
    }
    case 't':
      return scanner.scan_literal(p, "true");
    case 'f':
      return scanner.scan_literal(p, "false");
    case 'n':
      return scanner.scan_literal(p, "null");
    default:
      return scanner.not_a_value(p);
  }
}

}  // namespace

bool Reader::read_value(Value& out) {
  return scanner_.advance(scan_value(scanner_, scanner_.cursor(), out));
}

bool Reader::skip_value() {
  return scanner_.advance(scan_and_drop<false>(scanner_, scanner_.cursor()));
}

bool Reader::read_string(std::string& out) {
  DecodedSink sink{out};
  return scanner_.advance(scanner_.scan_string(scanner_.cursor(), sink));
}

// Nothing hot copies strings this way: the canonicalizer writes them
// straight into its own room.
bool Reader::copy_string(std::string& out) {
  std::string text;
  if (!read_string(text)) return false;
  write_string(text, out);
  return true;
}

bool Reader::copy_number(std::string& out) {
  CompactNumber number;
  if (!scanner_.advance(scanner_.scan_compact_number(scanner_.cursor(), number))) return false;
  if (!number.text.empty()) {
    out += number.text;
  } else {
    char text[kDecimalTextSize];
    out.append(text, write_decimal(text, number.decimal, true));
  }
  return true;
}

bool Reader::begin_array() { return scanner_.advance(scanner_.open_level(scanner_.cursor())); }

Reader::Step Reader::next_element(bool first) {
  const char* p = scanner_.cursor();
  const Step step = scanner_.scan_element(p, first);
  if (step != Step::kFailed) scanner_.advance(p);
  return step;
}

bool Reader::end_array() {
  switch (peek()) {
    case ']':
      scanner_.consume();
      scanner_.close_level();
      return true;
    case ',':
      scanner_.consume();
      return fail_on_next(peek() == ']' ? "trailing comma" : "trailing characters");
    case -1:
      return fail("EOF while parsing a list");
    default:
      return fail_on_next("trailing characters");
  }
}

bool Reader::begin_object() { return scanner_.advance(scanner_.open_level(scanner_.cursor())); }

Reader::Step Reader::next_key(bool first) {
  const char* p = scanner_.cursor();
  const Step step = scanner_.scan_key(p, first);
  if (step != Step::kFailed) scanner_.advance(p);
  return step;
}

bool Reader::read_colon() { return scanner_.advance(scanner_.scan_colon(scanner_.cursor())); }

Expected<Value, Error> parse(std::string_view text) {
  Reader reader(text);
  Value value;
  if (!reader.read_value(value) || !reader.finish()) return unexpected(reader.error());
  return value;
}

std::optional<Error> validate(std::string_view text) {
  if (quick_check(text)) return std::nullopt;
  Scanner scanner(text);
  if (scanner.advance(scan_and_drop<true>(scanner, scanner.cursor())) && scanner.finish()) {
    return std::nullopt;
  }
  return scanner.error();
}

}  // namespace vennu::json
