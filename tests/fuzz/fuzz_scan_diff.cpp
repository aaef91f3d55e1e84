// USER_SSCANF against the C library: for any line, the count and the bits of
// every converted value must be those of std::sscanf with the whole line
// format. A line on which the scan reaches an integer outside 32 bits (the C
// library's "%d" has no defined result beyond them) must be refused instead.
// Each build of the fast path that runs must agree too, on the line as
// USER_SSCANF gets it and on the input scanned where it lies: a line it
// takes must end at the input's first newline, with sscanf's values for it.
// An input that begins with fuzz::BUILT_LINE is the data line built from it.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::silence_stdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string built;
  if (size > 0 && data[0] == fuzz::BUILT_LINE) {
    built = fuzz::built_line(data + 1, size - 1);
    data = reinterpret_cast<const uint8_t*>(built.data());
    size = built.size();
  }
  const size_t length = size < static_cast<size_t>(MAX_ONE_LINE_LEN) - 1
                            ? size
                            : static_cast<size_t>(MAX_ONE_LINE_LEN) - 1;
  // Exactly as long as the line and the padding the scan may read, so that a
  // read past the padding is seen.
  std::unique_ptr<char[]> line(new char[length + 1 + LINE_PADDING]());
  if (length > 0) std::memcpy(line.get(), data, length);

  // Exactly the slots the line format fills.
  std::unique_ptr<uint32_t[]> raw(new uint32_t[NUMBER_OF_DATA]);
  for (int i = 0; i < NUMBER_OF_DATA; ++i) raw[i] = 0xA5A5A5A5u;
  int32_t count = -2;
  const int status = USER_SSCANF(count, line.get(), raw.get());

  static reference::Scan ref;
  if (!reference::scan(line.get(), fuzz::settings(), ref)) fuzz::fail("no layout row for the line format");
  const bool refused = !ref.refused_integer.empty();
  if (status != OK) {
    if (status != ERROR || !refused) fuzz::fail("USER_SSCANF refused a line whose integers fit");
    return 0;
  }
  if (refused) fuzz::fail("USER_SSCANF accepted an integer outside 32 bits");
  if (count != ref.count) fuzz::fail("count differs from std::sscanf");
  for (int i = 0; i < count; ++i)
    if (raw[i] != ref.raw[i]) fuzz::fail("value bits differ from std::sscanf");

  const auto* newline = static_cast<const char*>(std::memchr(line.get(), '\n', length));
  static reference::Scan in_place_ref;
  if (newline != nullptr) {
    const std::string in_place_line(line.get(), static_cast<size_t>(newline - line.get()) + 1);
    if (!reference::scan(in_place_line.c_str(), fuzz::settings(), in_place_ref))
      fuzz::fail("no layout row for the line format");
  }
  for (const Scan_build build : {Scan_build::BASELINE, Scan_build::AVX2}) {
    if (!scan_build_runs(build)) continue;
    const auto agrees = [&](const reference::Scan& with, const char* what) {
      if (!with.refused_integer.empty() || with.count != NUMBER_OF_DATA) fuzz::fail(what);
      for (int i = 0; i < NUMBER_OF_DATA; ++i)
        if (raw[i] != with.raw[i]) fuzz::fail(what);
    };
    if (scan_plain_line(build, line.get(), SIZE_MAX, raw.get()))
      agrees(ref, "a build of the fast path took a line with other values than std::sscanf");
    size_t taken = 0;
    if (scan_line_in_place(build, line.get(), length, raw.get(), taken)) {
      if (newline == nullptr || taken != static_cast<size_t>(newline - line.get()) + 1)
        fuzz::fail("a line taken in place does not end at the first newline");
      agrees(in_place_ref, "a line taken in place has other values than std::sscanf");
    }
  }
  return 0;
}
