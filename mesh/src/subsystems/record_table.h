// The table of the registry and of the migration controller: records by key
// under one reader-writer lock, each with its whole JSON text ready
// (rendered by each change the table keeps), so that a read copies it: no
// JSON work under the shared lock, and a writer that comes meanwhile waits
// with the caller's outer lock let go (sync/wait_hook.h), so that a long
// list holds up the table's writers only.
//
// Table is the owner's struct: records, a HashedTextMap of records with
// ready_text and record_is_ascii, beside the owner's counts. A change
// abandoned under the exclusive lock poisons the table for good: its
// sections then answer the owner's poisoned error and its counts read 0.
//
// Thread safety: every member may be called concurrently; the sections
// passed in must not call back into the table.

#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <type_traits>

#include "base/error.h"
#include "base/record_read.h"
#include "base/seeded_hash.h"
#include "subsystems/guarded_result.h"
#include "sync/guarded.h"

namespace vennu {

template <class Table>
class RecordTable {
 public:
  explicit RecordTable(MeshError (*poisoned)()) : poisoned_(poisoned) {}

  // section(table) under the shared lock, or the exclusive one: what it
  // returns, or the poisoned error (guarded_result.h).
  template <class Section>
  auto read(Section&& section) const {
    return read_or_poisoned(table_, poisoned_, section);
  }
  template <class Section>
  auto write(Section&& section) {
    return write_or_poisoned(table_, poisoned_, section);
  }

  // section(table) under the exclusive lock, waited for keeping the
  // caller's outer lock (OuterLock::kKeep), as taking a change back must;
  // false, without running it, when poisoned. section must not throw.
  template <class Section>
  bool take_back(Section&& section) noexcept {
    return table_.write(section, OuterLock::kKeep);
  }

  // count(table) under the shared lock; 0 (all 0) when poisoned.
  template <class Count>
  auto count(Count count) const {
    std::invoke_result_t<Count&, const Table&> counted{};
    table_.read([&](const Table& table) { counted = count(table); });
    return counted;
  }

  // Appends the record of key to out; false, with out unchanged, when there
  // is none. *ascii, when given, tells whether the record is all ASCII.
  MeshResult<bool> append_record(const HashedKey& key, std::string& out, bool* ascii) const {
    return read([&](const Table& table) {
      auto found = table.records.find(key);
      if (found == table.records.end()) return false;
      out += found->second.ready_text;
      if (ascii != nullptr) *ascii = found->second.record_is_ascii;
      return true;
    });
  }

  // append_record into room the caller owns (record_read.h).
  MeshResult<RecordRead> read_record(const HashedKey& key, std::span<char> room, std::size_t* size,
                                     bool* ascii) const {
    return read([&](const Table& table) {
      auto found = table.records.find(key);
      if (found == table.records.end()) return RecordRead::kAbsent;
      if (ascii != nullptr) *ascii = found->second.record_is_ascii;
      return copy_record(found->second.ready_text, room, size);
    });
  }

  // Appends the JSON array of the records that keep(record) keeps, in map
  // order, to out: nothing is allocated per record but out's own growth.
  // *ascii, when given, tells whether the array is all ASCII. On failure
  // out may hold part of the array.
  template <class Keep>
  MeshResult<void> append_records(Keep keep, std::string& out, bool* ascii) const {
    return read([&](const Table& table) {
      bool all_ascii = true;
      bool first = true;
      out += '[';
      for (const auto& [key, record] : table.records) {
        if (!keep(record)) continue;
        if (!first) out += ',';
        first = false;
        out += record.ready_text;
        all_ascii = all_ascii && record.record_is_ascii;
      }
      out += ']';
      if (ascii != nullptr) *ascii = all_ascii;
    });
  }

 private:
  MeshError (*const poisoned_)();
  Guarded<Table> table_;
};

// Renders record's ready text afresh by render(text), into text with room
// for size bytes reserved up front (growing it step by step from empty
// costs an allocation per doubling), and room for spare bytes more kept
// after it. May throw std::bad_alloc, leaving the record as it was.
template <class Record, class Render>
void fill_ready_text(Record& record, std::size_t size, std::size_t spare, Render render) {
  std::string text;
  text.reserve(size + spare);
  render(text);
  text.reserve(text.size() + spare);
  record.ready_text.swap(text);
}

}  // namespace vennu
