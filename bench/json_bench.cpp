// Micro-benchmark of the JSON unit, built with the CMake option
// MESH_BUILD_BENCH:
//
//   cmake -S . -B build/bench -DMESH_BUILD_MODULE=OFF -DMESH_BUILD_BENCH=ON
//   cmake --build build/bench --target json_bench
//   build/bench/json_bench [DOCUMENT.json]
//
// Without an argument the document is a generated ~100 KB text shaped like
// the one bench/run.py stores: records with unsorted and sorted keys,
// integers, short decimals and exponent forms, strings with escapes and
// non-ASCII text, and the ", " / ": " separators of a default json.dumps.
// Three more documents of about 1 MB show the canonicalizer by kind of
// content (long strings, numbers, deep nesting with unsorted keys), each
// beside memcpy of the same bytes: the speed of memory on this machine.
// Heap allocations are counted by mesh/testing/failing_allocator.h, the
// global operator new of test builds (never armed here).

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <utility>

#include "json/json.h"
#include "testing/failing_allocator.h"

namespace {

using vennu::json::canonicalize;
using vennu::json::parse;
using vennu::json::validate;
using vennu::json::write;
using vennu::json::write_string;
using vennu::json::write_unsigned;

constexpr std::string_view kSmall = R"({"name":"alice","age":30,"tags":["a","b"]})";

volatile std::size_t g_sink = 0;
vennu::TextShape g_shape;

struct Result {
  double ns_per_call;
  double allocations_per_call;
};

// Runs body() n times after a short warm-up.
template <class Body>
Result measure(std::uint64_t n, Body body) {
  for (std::uint64_t i = 0; i < n / 20 + 1; ++i) body();
  const std::uint64_t allocations_before = vennu::allocation_count();
  const auto start = std::chrono::steady_clock::now();
  for (std::uint64_t i = 0; i < n; ++i) body();
  const auto elapsed =
      std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start);
  return {
      elapsed.count() / static_cast<double>(n),
      static_cast<double>(vennu::allocation_count() - allocations_before) / static_cast<double>(n)};
}

// Best of a few runs, to keep scheduler noise out of the figures.
template <class Body>
Result best_of(int runs, std::uint64_t n, Body body) {
  Result best = measure(n, body);
  for (int i = 1; i < runs; ++i) {
    const Result next = measure(n, body);
    if (next.ns_per_call < best.ns_per_call) best = next;
  }
  return best;
}

class Random {
 public:
  std::uint64_t next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 7;
    state_ ^= state_ << 17;
    return state_;
  }
  std::uint64_t below(std::uint64_t n) { return next() % n; }

 private:
  std::uint64_t state_ = 20261206;
};

std::string make_document(std::size_t target_bytes) {
  static constexpr std::string_view kWords[] = {"plain",
                                                "caf\xc3\xa9",
                                                "na\xc3\xafve",
                                                "Stra\xc3\x9f"
                                                "e",
                                                "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e",
                                                "\xce\xa9mega",
                                                "emoji \xf0\x9f\x98\x80",
                                                "say \\\"hi\\\"",
                                                "back\\\\slash",
                                                "tab\\there",
                                                "line\\nbreak",
                                                "ctl\\u0001",
                                                "a/b",
                                                "caf\\u00e9"};
  static constexpr std::string_view kCities[] = {"Z\xc3\xbcrich",
                                                 "K\xc3\xb8"
                                                 "benhavn",
                                                 "S\xc3\xa3o Paulo", "Krak\xc3\xb3w", "Oslo"};
  static constexpr std::string_view kExponents[] = {"1e-7", "2.5E+20", "-6.02e23", "1.5e-7", "3e8"};
  Random random;
  auto word = [&] { return std::string(kWords[random.below(std::size(kWords))]); };
  auto decimal = [&](std::int64_t range, int max_places) {
    const auto places = static_cast<int>(random.below(static_cast<std::uint64_t>(max_places))) + 1;
    const double value =
        static_cast<double>(static_cast<std::int64_t>(random.below(2'000'000'000)) -
                            1'000'000'000) /
        1e9 * static_cast<double>(range);
    char text[48];
    std::snprintf(text, sizeof text, "%.*f", places, value);
    return std::string(text);
  };

  std::string out = R"({"version": 3, "source": "bench", "items": [)";
  for (std::size_t i = 0; out.size() < target_bytes; ++i) {
    if (i != 0) out += ", ";
    out += "{\"id\": " + std::to_string(i) + ", \"name\": \"" + word() + " #" + std::to_string(i) +
           "\"";
    out += std::string(", \"active\": ") + (random.below(2) ? "true" : "false");
    out += ", \"note\": " + (random.below(10) < 3
                                 ? std::string("null")
                                 : "\"" + word() + " " + word() + " " + word() + "\"");
    out += ", \"tags\": [\"" + word() + "\", \"" + word() + "\", \"" + word() + "\"]";
    out += ", \"counts\": [";
    for (int k = 0; k < 8; ++k) {
      if (k != 0) out += ", ";
      out += std::to_string(static_cast<std::int64_t>(random.below(1'000'001'000'000)) - 1'000'000);
    }
    out += "], \"ratios\": [";
    for (int k = 0; k < 6; ++k) {
      if (k != 0) out += ", ";
      out +=
          k == 5 ? std::string(kExponents[random.below(std::size(kExponents))]) : decimal(1000, 6);
    }
    out += "], \"address\": {\"city\": \"" +
           std::string(kCities[random.below(std::size(kCities))]) +
           "\", \"geo\": {\"lat\": " + decimal(90, 6) + ", \"lon\": " + decimal(180, 6) +
           "}, \"zip\": \"" + std::to_string(random.below(100000)) + "\"}}";
  }
  out += "]}";
  return out;
}

// Long strings, mostly ASCII with some two- to four-byte characters and an
// escape now and then, in sorted objects.
std::string make_text_document(std::size_t target_bytes) {
  static constexpr std::string_view kPieces[] = {"The quick brown fox jumps over the lazy dog. ",
                                                 "caf\xc3\xa9 ",
                                                 "\xe6\x97\xa5\xe6\x9c\xac ",
                                                 "\xf0\x9f\x98\x80 ",
                                                 "say \\\"hi\\\" ",
                                                 "Lorem ipsum dolor sit amet, consectetur. "};
  Random random;
  std::string out = "[";
  while (out.size() < target_bytes) {
    if (out.size() > 1) out += ",";
    out += R"({"body":")";
    for (int i = 0; i < 40; ++i) out += kPieces[random.below(std::size(kPieces))];
    out += R"(","title":"record"})";
  }
  return out + "]";
}

// Arrays of integers and short decimals, the compact layout.
std::string make_number_document(std::size_t target_bytes) {
  Random random;
  std::string out = "[";
  char text[48];
  while (out.size() < target_bytes) {
    if (out.size() > 1) out += ",";
    const auto value = static_cast<std::int64_t>(random.below(2'000'000'000)) - 1'000'000'000;
    if (random.below(2) == 0) {
      std::snprintf(text, sizeof text, "%lld", static_cast<long long>(value));
    } else {
      std::snprintf(text, sizeof text, "%.*f", static_cast<int>(random.below(6)) + 1,
                    static_cast<double>(value) / 1e4);
    }
    out += text;
  }
  return out + "]";
}

// Objects nested 100 deep, keys in descending order at every level, so that
// every level is put in key order.
std::string make_nested_document(std::size_t target_bytes) {
  std::string one;
  for (int depth = 0; depth < 100; ++depth) one += R"({"z":1,"y":"text","b":[1,2],"a":)";
  one += "null";
  for (int depth = 0; depth < 100; ++depth) one += "}";
  std::string out = "[";
  while (out.size() < target_bytes) {
    if (out.size() > 1) out += ",";
    out += one;
  }
  return out + "]";
}

std::string read_file(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void report(const char* name, Result result) {
  std::printf("%-36s %10.1f ns  %5.2f allocations\n", name, result.ns_per_call,
              result.allocations_per_call);
}

void report_throughput(const char* name, Result result, std::size_t bytes) {
  std::printf("%-36s %10.0f MB/s  %5.2f allocations\n", name,
              static_cast<double>(bytes) / result.ns_per_call * 1e3, result.allocations_per_call);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string document = argc > 1 ? read_file(argv[1]) : make_document(100'000);
  if (!canonicalize(document) || !parse(document)) {
    std::fprintf(stderr, "the document does not parse\n");
    return 1;
  }
  std::printf("small object %zu bytes, document %zu bytes\n\n", kSmall.size(), document.size());

  report("canonicalize small object",
         best_of(3, 10'000'000, [] { g_sink = g_sink + canonicalize(kSmall)->size(); }));
  report("validate small object",
         best_of(3, 10'000'000, [] { g_sink = g_sink + !validate(kSmall); }));
  report("parse small object",
         best_of(3, 5'000'000, [] { g_sink = g_sink + parse(kSmall)->as_object().size(); }));

  std::string out;
  out.reserve(64);
  report("write_string 12-byte id", best_of(3, 20'000'000, [&] {
           out.clear();
           write_string("agent-000042", out);
           g_sink = g_sink + out.size();
         }));
  report("write_unsigned 1234567", best_of(3, 20'000'000, [&] {
           out.clear();
           write_unsigned(1234567, out);
           g_sink = g_sink + out.size();
         }));
  std::printf("\n");

  const std::uint64_t rounds = std::max<std::uint64_t>(20, 200'000'000 / document.size());
  report_throughput("canonicalize document",
                    best_of(3, rounds, [&] { g_sink = g_sink + canonicalize(document)->size(); }),
                    document.size());
  report_throughput("validate document",
                    best_of(3, rounds, [&] { g_sink = g_sink + !validate(document); }),
                    document.size());
  report_throughput(
      "parse document",
      best_of(3, rounds / 4, [&] { g_sink = g_sink + parse(document)->as_object().size(); }),
      document.size());
  const vennu::json::Value tree = *parse(document);
  report_throughput("write document tree",
                    best_of(3, rounds, [&] { g_sink = g_sink + write(tree).size(); }),
                    document.size());

  std::printf("\n%-36s %10s %10s %10s\n", "canonicalize 1 MB, by content", "MB/s", "memcpy",
              "ratio");
  const std::pair<const char*, std::string> kinds[] = {
      {"text-heavy", make_text_document(1'000'000)},
      {"number-heavy", make_number_document(1'000'000)},
      {"nested 100 deep, keys unsorted", make_nested_document(1'000'000)},
  };
  std::string copy;
  // Not a structured binding: clang before 16 cannot capture one in a lambda.
  for (const auto& kind : kinds) {
    const char* const name = kind.first;
    const std::string& text = kind.second;
    if (!canonicalize(text)) {
      std::fprintf(stderr, "the %s document does not parse\n", name);
      return 1;
    }
    std::string written;
    const Result canonical = best_of(5, 40, [&] {
      written.clear();
      g_sink = g_sink + !vennu::json::canonicalize(text, written, g_shape);
    });
    copy.resize(text.size());
    const Result copied = best_of(5, 400, [&] {
      std::memcpy(copy.data(), text.data(), text.size());
      g_sink = g_sink + static_cast<unsigned char>(copy[g_sink % copy.size()]);
    });
    const double canonical_mb = static_cast<double>(text.size()) / canonical.ns_per_call * 1e3;
    const double copied_mb = static_cast<double>(text.size()) / copied.ns_per_call * 1e3;
    std::printf("%-36s %10.0f %10.0f %10.3f\n", name, canonical_mb, copied_mb,
                canonical_mb / copied_mb);
  }
  return 0;
}
