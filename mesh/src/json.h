// JSON values and their text forms: the umbrella of the JSON unit.
//
// The parts, each with its contract in its header:
//   json_value.h      the document tree and its equality
//   json_reader.h     parse, validate and the pull reader
//   json_writer.h     the compact writer
//   json_canonical.h  text to compact text without a tree
//   json_error.h      a reader's failure and its position
// and behind them, for those parts only:
//   json_scanner.h    the scanning steps the readers share
//   json_quick_check.h validate's quick pass over plain texts
//   json_number.h     number text, decimal digits and their layout
//   json_bytes.h      word-at-a-time byte tests, UTF-8 and escapes

#pragma once

#include "json_canonical.h"
#include "json_error.h"
#include "json_reader.h"
#include "json_value.h"
#include "json_writer.h"
