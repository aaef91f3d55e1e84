// Fast scanning of plain data lines: decimal integers and decimal floats
// separated by white space, with the exact results of the C library's
// "%d" and "%f" in the "C" locale. A line in any other spelling is left to
// the C library's scan.
#ifndef LINE_SCAN_H
#define LINE_SCAN_H

#include <cstdint>

// White space as the "C" locale's isspace() sees it.
inline bool is_c_space(char c) {
  constexpr uint64_t SPACES = (uint64_t{1} << ' ') | (uint64_t{1} << '\t') | (uint64_t{1} << '\n') |
                              (uint64_t{1} << '\v') | (uint64_t{1} << '\f') | (uint64_t{1} << '\r');
  const auto code = static_cast<unsigned char>(c);
  return code <= ' ' && ((SPACES >> code) & 1u) != 0;
}

// scan_plain_line() : true when the line is integers then floats, each
// number in plain decimal spelling followed by white space (or, for the last
// one, the end of the line), so that the result is certainly the one the C
// library's scan gives: raw then holds the integers' values and the floats'
// bit patterns. false when the line needs the C library (hexadecimal, inf,
// nan, no separator, values out of range, too few values, ...); raw is then
// unspecified.
bool scan_plain_line(const char* line, int integers, int floats, uint32_t* raw);

// check_integer_fits() : the C library's "%d" has no defined result for an
// integer outside 32 bits, so such a line is refused before it is scanned.
// The first token is taken as "%d" takes it: white space, an optional sign,
// decimal digits. OK, or ERROR after a message naming the integer.
int check_integer_fits(const char* line);

#endif
