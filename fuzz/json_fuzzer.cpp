// Reading and writing JSON must agree: validate (and its quick pass)
// accepts what parse accepts and refuses the rest with parse's error, the
// compact check vouches only for texts that write back unchanged; an
// accepted text writes to a compact text that reads back to the same value
// and writes to the same bytes, the streaming canonical form equals the
// written tree (and, where it reports the shape of what it wrote, that shape
// is the one measured), and a refused text gets a message positioned inside
// the text. Every structural index kernel the machine runs gives the
// portable kernel's masks and token starts.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "json/json.h"
#include "json/quick_check.h"
#include "json/structural_index.h"
#include "text_position.h"

namespace {

using vennu::position_inside;

void check(bool condition) {
  if (!condition) std::abort();
}

// The index by one kernel, two blocks a call, masks and offsets in a row.
std::vector<std::uint64_t> index_with(std::string_view text, vennu::json::IndexKernel kernel) {
  using namespace vennu::json;
  IndexBuilder builder(text, kernel);
  std::vector<std::uint64_t> out;
  std::size_t positions[2 * kIndexBlock];
  BlockMasks masks[2];
  while (!builder.finished()) {
    const std::size_t before = builder.blocks_done();
    const std::size_t n = builder.next(positions, 2 * kIndexBlock, masks);
    for (std::size_t i = 0; i < builder.blocks_done() - before; ++i) {
      for (const std::uint64_t mask : {masks[i].quotes, masks[i].backslashes, masks[i].structurals,
                                       masks[i].whitespace, masks[i].in_string}) {
        out.push_back(mask);
      }
    }
    out.insert(out.end(), positions, positions + n);
  }
  return out;
}

void check_kernels(std::string_view text) {
  using namespace vennu::json;
  const std::vector<std::uint64_t> portable = index_with(text, IndexKernel::kPortable);
  for (int k = 1; k < kIndexKernels; ++k) {
    const auto kernel = static_cast<IndexKernel>(k);
    if (kernel_available(kernel)) check(index_with(text, kernel) == portable);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vennu::json;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  check_kernels(text);
  auto value = parse(text);
  const auto checked = validate(text);
  check(checked.has_value() == !value && (!quick_check(text) || value));
  vennu::TextShape quick_shape;
  check(!quick_check_canonical(text, quick_shape) || (value && write(*value) == text));
  if (checked) check(checked->text() == value.error().text());
  auto streamed = canonicalize(text);
  std::string shaped = "x";
  vennu::TextShape shape;
  const auto shaped_error = canonicalize(text, shaped, shape);
  check(shaped_error.has_value() == !streamed);
  if (streamed) {
    check(shaped == "x" + *streamed);
    const vennu::TextShape measured = vennu::shape_of(*streamed);
    check(shape.code_points == measured.code_points && shape.width == measured.width);
  } else {
    check(shaped == "x" && shaped_error->text() == streamed.error().text());
  }
  if (!value) {
    const Error& error = value.error();
    const std::string suffix =
        " at line " + std::to_string(error.line) + " column " + std::to_string(error.column);
    check(position_inside(text, error.line, error.column));
    check(error.text().ends_with(suffix));
    check(!streamed && streamed.error().text() == error.text());
    return 0;
  }
  const std::string written = write(*value);
  check(streamed && *streamed == written);
  auto again = parse(written);
  check(again && *again == *value);
  check(write(*again) == written);
  auto recanonical = canonicalize(written);
  check(recanonical && *recanonical == written);
  return 0;
}
