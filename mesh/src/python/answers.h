// How the methods make their answers: the thread's buffer for result texts,
// the answer to a change that is taken back when it cannot be made, one
// record or None, and a JSON array of records. Shared by the method parts,
// and inlined into each entry point with the bodies that use them.

#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base/error.h"
#include "base/text_shape.h"
#include "errors.h"
#include "interpreter_lock.h"
#include "str_result.h"
#include "subsystems/mesh.h"

namespace vennu::python {

// The calling thread's buffer for result texts, reused so that writing a
// result allocates only when it outgrows every earlier one. Nothing calls
// back into Python while it is in use, so one per thread is enough. Out of
// line (answers.cpp): the compiler would otherwise repeat the thread-local
// look-up.
[[gnu::noinline]] std::string& thread_buffer();

// Clears the thread's buffer for one result and, when done, lets go of a
// huge one rather than keeping it for the life of the thread.
class ResultText {
 public:
  ResultText() : text_(thread_buffer()) { text_.clear(); }
  // Not noexcept: taking the interpreter lock back may end the thread at
  // exit. While an exception unwinds, the buffer is freed in place instead,
  // as it is during the forced unwind that ends the thread, which already
  // counts as having let go (interpreter_lock.h).
  ~ResultText() noexcept(false) {
    constexpr std::size_t kKeptBytes = std::size_t{1} << 20;
    if (text_.capacity() > kKeptBytes) let_go();
  }
  ResultText(const ResultText&) = delete;
  ResultText& operator=(const ResultText&) = delete;

  std::string& text() { return text_; }

 private:
  // Out of line (answers.cpp), as the compiler kept it when the methods
  // were in one file: only the test of the capacity is inlined.
  void let_go();

  std::string& text_;
};

// The answer to a change already made: the record's text, written by
// write_record (or already in out, for written_answer_or_undo), as a str.
// When memory runs out before the str exists, undo() takes the change back
// and the caller gets MemoryError with the mesh as it was. That is sound
// because the interpreter lock is held from the change until the str exists
// (the text is written and, unless the record is known to be ASCII, measured
// with it held, whatever its size), and every registry and migration call
// that changes anything is made with it held, unless the call found the
// table's lock taken: it then waits, changes and unlocks with the
// interpreter lock let go (interpreter_lock.h). Only then, or for a long
// list read with the interpreter lock released, can another thread come in
// between; a list may see the change, as it may see any change that is soon
// reversed. new_str allocates before it lets the lock go to fill the str,
// and filling cannot fail. The undo is refused if the table changed
// meanwhile (only possible after such a wait); the MemoryError stands
// either way. Only a C++ exception undoes: a thread ended at exit while it
// makes the answer (taking the lock back after filling a large str) leaves
// the change made, whole, as if it had ended just after the call returned.
template <class Undo>
PyObject* written_answer_or_undo(const std::string& out, bool ascii, Undo undo) {
  TextShape shape;
  try {
    shape = ascii ? TextShape{out.size(), CharWidth::kAscii} : shape_of(out);
  } catch (const std::exception&) {
    undo();
    throw;
  }
  PyObject* str = new_str(out, shape);
  if (str == nullptr) undo();
  return str;
}

template <class WriteRecord, class Undo>
PyObject* answer_or_undo(WriteRecord write_record, bool ascii, Undo undo) {
  ResultText result;
  std::string& out = result.text();
  try {
    write_record(out);
  } catch (const std::exception&) {
    undo();
    throw;
  }
  return written_answer_or_undo(out, ascii, undo);
}

// One record, as get_agent and get_migration answer, or None. Most records
// take a few hundred bytes: read_into(room, &size, &ascii) copies one into
// the stack, which costs no thread-local buffer and no resizing of one. A
// longer one is appended to the thread's buffer by append(out, &ascii),
// which finds the record again: it may have changed or gone meanwhile.
constexpr std::size_t kShortRecordBytes = 512;

template <class ReadInto, class Append>
PyObject* record_answer(ReadInto read_into, Append append) {
  bool ascii = false;
  {
    std::array<char, kShortRecordBytes> room;
    std::size_t size = 0;
    const MeshResult<RecordRead> read = read_into(std::span<char>(room), &size, &ascii);
    if (!read) return raise_mesh_error(read.error());
    if (*read == RecordRead::kAbsent) Py_RETURN_NONE;
    if (*read == RecordRead::kCopied) {
      const std::string_view text(room.data(), size);
      return ascii ? new_ascii_str(text) : new_str(text);
    }
  }
  ResultText result;
  const MeshResult<bool> found = append(result.text(), &ascii);
  if (!found) return raise_mesh_error(found.error());
  if (!*found) Py_RETURN_NONE;
  return ascii ? new_ascii_str(result.text()) : new_str(result.text());
}

// A JSON array of records, as list_agents and list_migrations answer,
// appended by append(out, &ascii) under its table's shared lock. That is
// the one lock held while an answer is written: the records' texts are
// ready, so it is copying, not JSON work, and writers that come meanwhile
// wait with the interpreter lock let go, stalling no other thread. A record
// takes a hundred bytes and more, so when the table holds many (table_size,
// read just before) the array is written with the interpreter lock
// released.
template <class Append>
PyObject* record_list(std::uint64_t table_size, Append append) {
  constexpr std::size_t kLargeList = kLargeWorkBytes / 128;
  ResultText result;
  std::string& out = result.text();
  bool ascii = false;
  std::optional<MeshResult<void>> written;
  without_interpreter_lock(table_size >= kLargeList, [&] { written.emplace(append(out, &ascii)); });
  if (!*written) return raise_mesh_error(written->error());
  return ascii ? new_ascii_str(out) : new_str(out);
}

}  // namespace vennu::python
