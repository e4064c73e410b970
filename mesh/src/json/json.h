// JSON values and their text forms: the umbrella of the JSON unit.
//
// The parts, each with its contract in its header:
//   value.h        the document tree and its equality
//   reader.h       parse, validate and the pull reader
//   writer.h       the compact writer
//   canonical.h    text to compact text without a tree
//   error.h        a reader's failure and its position
// and behind them, for those parts only:
//   scanner.h      the scanning steps the readers share
//   quick_check.h  validate's quick pass over plain texts
//   structural_index.h  the token starts of a text, 64 bytes at a time
//   number.h       number text, decimal digits and their layout
//   string_runs.h  where the plain runs of string literals end
//   escapes.h      the escapes of string literals
//   utf8.h         well-formed UTF-8 and the form of a code point

#pragma once

#include "json/canonical.h"
#include "json/error.h"
#include "json/reader.h"
#include "json/value.h"
#include "json/writer.h"
