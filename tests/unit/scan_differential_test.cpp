// The data line scan against the C library's own sscanf with the line format
// the program is built with (one row per layout below). Lines come from a
// seeded generator that follows the layout's sequence of %d and %f and aims
// at the corners of number parsing: float rounding boundaries (exact halfway
// points and values a hair above or below them, in decimal and in
// hexadecimal), denormals, overflow, very long digit strings, inf/nan
// spellings, malformed numbers, numbers without separators, junk, tabs and
// carriage returns. About a third of the lines are plain decimal lines for
// the fast scan (tokens found 64 bytes at a time, digits eight at a time,
// exact float products): significands around 2^24, exponents at the edge of
// exact powers of ten, 9 to 25 significant digits, doubles printed with 15 to
// 19 digits as round-trip printers do, halfway points with few digits and
// exact ones of up to 19 digits. Each line is also scanned where it would lie
// in the input, with the next line after it.
//
// TVQ_DIFF_LINES sets the number of generated lines (default 5000), e.g.
//   TVQ_DIFF_LINES=1000000 ./unit_tests --gtest_filter='ScanDifferential.*'
// TVQ_DIFF_SEED changes the seed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <random>
#include <stdexcept>
#include <utility>
#include <string>
#include <vector>

#include "../format_reference.h"
#include "Cdata_reader.h"
#include "Cfile.h"
#include "tvq_constants.h"
#include "unit_support.h"
#include "user_settings.h"

using tvq_test::visible;

namespace {

float from_bits(uint32_t b) {
  float value;
  std::memcpy(&value, &b, sizeof value);
  return value;
}

uint64_t env_number(const char* name, uint64_t fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text, &end, 0);
  return (end != nullptr && *end == '\0') ? value : fallback;
}

// Standard output sent to an unlinked temporary file for the length of a
// run; take() returns what was printed since the last call. Cheaper per line
// than a capture per line, which matters for runs of a million lines.
class Stdout_tap {
 public:
  Stdout_tap() {
    std::fflush(stdout);
    char name[] = "/tmp/tvq_stdout_XXXXXX";
    m_fd = mkstemp(name);
    if (m_fd < 0) throw std::runtime_error("mkstemp failed");
    unlink(name);
    m_saved = dup(STDOUT_FILENO);
    if (m_saved < 0 || dup2(m_fd, STDOUT_FILENO) < 0) throw std::runtime_error("dup failed");
  }
  ~Stdout_tap() {
    std::fflush(stdout);
    dup2(m_saved, STDOUT_FILENO);
    ::close(m_saved);
    ::close(m_fd);
  }
  Stdout_tap(const Stdout_tap&) = delete;
  Stdout_tap& operator=(const Stdout_tap&) = delete;

  std::string take() {
    std::fflush(stdout);
    const off_t end = lseek(m_fd, 0, SEEK_END);
    std::string text(static_cast<size_t>(end - m_offset), '\0');
    if (!text.empty() && pread(m_fd, &text[0], text.size(), m_offset) != static_cast<ssize_t>(text.size()))
      text = "<tap read failed>";
    m_offset = end;
    if (m_offset > (1 << 20) && ftruncate(m_fd, 0) == 0) {
      lseek(m_fd, 0, SEEK_SET);
      m_offset = 0;
    }
    return text;
  }

 private:
  int m_fd = -1;
  int m_saved = -1;
  off_t m_offset = 0;
};

// Tokens every generator draws from: the corners named one by one.
const char* const BOUNDARY_FLOATS[] = {
    "16777216", "16777217", "16777218", "16777219", "16777217.0000001", "16777216.9999999",
    "16777217e0", "1.6777217e7", "33554435", "8388608.5", "8388609.5", "4294967296.5",
    "1e38", "1e39", "-1e39", "3.4028235e38", "3.40282347e38", "3.40282356e38",
    "3.4028235677973366e38", "3.40282357e38", "3.4028236e38",
    "340282356779733661637539395458142568448", "340282356779733661637539395458142568447",
    "340282356779733661637539395458142568448.0000000001",
    "1e-45", "-1e-45", "1e-46", "7e-46", "7.006492321624085e-46", "7.006492321624086e-46",
    "7.0064923216240862e-46", "1.401298464324817e-45", "2.1019476964872256e-45",
    "2.1019476964872257e-45", "1.1754942e-38", "1.17549435e-38", "1.1754943508222875e-38",
    "1.17549428e-38", "1.1754942807573643e-38", "1.1754942807573644e-38",
    "4.9406564584124654e-324", "1e-400", "1e400", "1e-4000000000", "1e4000000000",
    "0x1p-149", "0x1p-150", "0x1.8p-150", "0x1.000001p-150", "0x1.000001p0",
    "0x1.0000010000000001p0", "0x1.0000008p0", "0x1.fffffep127", "0x1.ffffffp127",
    "0x1.fffffefp127", "0x1.fffffe8p127", "0x.000002p-126", "0x0.8p-149", "0x1P+128",
    "0.1", "0.2", "0.3", "1.00000005960464477539062500000000001", "1.000000059604644775390625",
    "1.0000000596046447753906249999", "1.00000017881393432617187499", "0.99999997",
    "123456789", "1234567890123", "9.999999e9", "2.5", "-2.5", "0.5e1", "5e-1",
    // eight digits around the point are read in one piece, more in two
    "1234.5678", "1234.56789", "12345678.", "12345678.9", ".12345678", "-.123456789",
    "1234567812345678", "-1234567812345678.5e-3", "00000000000000000001.5",
    // 17 to 19 digits: a significand beyond 2^53, exact halfway points among them
    "1.6777217000000000e+07", "16777217.000000000", "-3.3554435000000000e7", "8388608.5000000000",
    "1.0000000596046448e+00", "1.0000000596046447e+00", "9.9999999999999999e-38",
    "1.00000000000000000e-37", "3.4028234663852886e+38", "9999999999999999999", "1e-60",
};

const char* const MALFORMED_FLOATS[] = {
    "1e", "1e+", "1e-", "1E", "0e", ".", "-.5", "+.5", "5.", "-5.", "+-1", "-+1", "--1", "-",
    "+", "e5", ".e1", "-.e1", "0x", "0X", "0x.", "0x.p1", "0xp1", "0x1p", "0x1p+", "0x1p-",
    "0x1.8p1.5", "1..2", "1.2.3", "1e+-5", "1E5.5", "1e5e5", "nan(", "nan()", "nan(1)",
    "nan(abc)", "nan(1", "infin", "infinit", "infinity", "infinityx", "in", "inx", "n", "na",
    "nanx", "-nan", "+nan", "-inf", "+INF", "Inf", "iNfInItY", "NaN", "nAn", "0x1g", "1f",
    "1.5f", "1d", "0b101", "1_000", "1,5", "1:5", "9:", "1/2", "5@", "1\xfa", "2\xff",
    "\xc2\xa0\x31", "1'000",
};

const char* const BOUNDARY_INTEGERS[] = {
    "2147483647", "-2147483648", "2147483648", "-2147483649", "+2147483647", "+2147483648",
    "4294967295", "4294967296", "4294967297", "-4294967296", "-0", "+0", "0", "00",
    "00000000000000000000000000000000000000001", "-000002147483648", "-000002147483649",
    "9223372036854775807", "9223372036854775808", "-9223372036854775808",
    "-9223372036854775809", "18446744073709551615", "18446744073709551616",
    "18446744073709551617", "99999999999999999999", "2147483647.9", "1e3", "0x7fffffff",
    "+-1", "-", "+", "--1", "+ 1", "- 1", "x", "1.5", ".5", "-.5",
    "1234567890", "-0000000001", "12345678901", "-12345678",
};

class Line_generator {
 public:
  explicit Line_generator(uint64_t seed) : m_rng(seed) {}

  std::string next_line() {
    if (chance(2)) return special_line();
    // long layouts give whole plain lines less often: more of them
    if (chance(NUMBER_OF_DATA <= 6 ? 35 : 50)) return plain_line();
    std::string line;
    if (chance(10)) line += whitespace();
    if (!chance(3)) line += token(0);
    size_t rest = NUMBER_OF_DATA - 1;
    if (chance(5)) rest = rest > 0 ? below(rest) : 0;
    else if (chance(5)) rest = NUMBER_OF_DATA + below(4);
    for (size_t i = 1; i <= rest; ++i) {
      line += separator();
      line += token(i);
    }
    line += line_end();
    return line;
  }

 private:
  uint64_t below(uint64_t n) { return m_rng() % n; }
  bool chance(unsigned percent) { return below(100) < percent; }
  template <size_t N>
  const char* pick(const char* const (&list)[N]) { return list[below(N)]; }

  std::string digits(size_t count, bool nonzero_first = false) {
    std::string text;
    for (size_t i = 0; i < count; ++i)
      text += static_cast<char>('0' + ((i == 0 && nonzero_first) ? 1 + below(9) : below(10)));
    return text;
  }
  std::string hex_digits(size_t count) {
    static const char hex[] = "0123456789abcdefABCDEF";
    std::string text;
    for (size_t i = 0; i < count; ++i) text += hex[below(sizeof hex - 1)];
    return text;
  }
  std::string sign() {
    const uint64_t r = below(10);
    return r < 3 ? "-" : r < 4 ? "+" : "";
  }
  std::string whitespace() {
    static const char* const spaces[] = {" ", "  ", "\t", " \t ", "\v", "\f", "\r", "   "};
    return pick(spaces);
  }
  std::string separator() {
    const uint64_t r = below(100);
    if (r < 60) return " ";
    if (r < 75) return whitespace();
    if (r < 88) return "";  // the numbers may still stay apart: "1-2", "1e5-3"
    static const char* const junk[] = {",", ";", ":", "x", "#", "/", "abc", "_", "(", ")", "e",
                                       ".", "+", "-", " , ", "\x01", "\xfa", "\xff", "@", "`"};
    return pick(junk);
  }
  std::string line_end() {
    const uint64_t r = below(100);
    if (r < 70) return "\n";
    if (r < 80) return "\r\n";
    if (r < 90) return "";
    if (r < 95) return " # a comment after the data\n";
    return " trailing junk 1 2 3\n";
  }
  std::string special_line() {
    static const char* const lines[] = {"", "\n", "\r\n", "   \n", "\t\n", "# comment\n",
                                        "c comment\n", "%\n", "//\n", "/x\n", " #\n", "C 1\n",
                                        "1 2 3 4 5 6\n", "1.5 2 3 4 5 6\n", "1-2-3-4-5-6\n"};
    return pick(lines);
  }

  std::string decimal() {
    std::string text = sign();
    const uint64_t form = below(4);
    if (form == 0) return text + digits(1 + below(6));
    if (form == 1) return text + digits(1 + below(6)) + "." + digits(below(7));
    if (form == 2) return text + "." + digits(1 + below(7));
    return text + digits(1 + below(3)) + ".";
  }

  std::string exponent() {
    std::string text = decimal();
    if (text.empty() || text == "-" || text == "+") text += "1";
    text += chance(50) ? "e" : "E";
    text += sign();
    const uint64_t r = below(10);
    if (r < 5) return text + std::to_string(below(40));
    if (r < 8) return text + std::to_string(35 + below(15));  // near overflow and underflow
    if (r < 9) return text + "000" + std::to_string(below(50));
    return text + digits(1 + below(12));
  }

  std::string hex_float() {
    std::string text = sign() + (chance(80) ? "0x" : "0X");
    text += hex_digits(below(9));
    if (chance(60)) text += "." + hex_digits(below(9));
    if (chance(75)) text += std::string(chance(80) ? "p" : "P") + sign() + std::to_string(below(160));
    return text;
  }

  std::string long_digits() {
    const uint64_t form = below(4);
    const size_t length = 20 + below(400);
    if (form == 0) return sign() + digits(length, true);
    if (form == 1) {
      std::string text = digits(length, true);
      text.insert(1 + below(length - 1), ".");
      return sign() + text;
    }
    if (form == 2) return sign() + "0." + std::string(30 + below(30), '0') + digits(length);
    return sign() + digits(length, true) + "e-" + std::to_string(below(500));
  }

  // A float's exact decimal or hexadecimal spelling, cut or extended.
  static std::string printed(const char* format, double value) {
    char text[512];
    std::snprintf(text, sizeof text, format, value);
    return text;
  }
  static std::string printed(const char* format, double value, uint64_t precision) {
    char text[512];
    std::snprintf(text, sizeof text, format, static_cast<int>(precision), value);
    return text;
  }

  // The point halfway between a float from 2^9 to 2^62 and the next one up,
  // which up to 19 digits spell exactly, or a unit of its last digit above
  // or below; in exponent or plain notation.
  std::string exact_halfway() {
    const auto b = static_cast<uint32_t>((127u + 9 + below(54)) << 23 | below(1u << 23));
    const double middle = (static_cast<double>(from_bits(b)) + from_bits(b + 1)) / 2;
    std::string text = printed("%.40e", middle);
    const size_t e = text.find('e');
    std::string mantissa = text.substr(0, e);
    while (mantissa.back() == '0') mantissa.pop_back();
    if (mantissa.back() == '.') mantissa.pop_back();
    const uint64_t nudge = below(4);  // none (twice as often), one up, one down
    char& last = mantissa.back();
    if (nudge == 2 && last >= '0' && last < '9') ++last;
    if (nudge == 3 && last > '0' && last <= '9') --last;
    if (chance(30) && middle < 1e15) return printed("%.19g", std::stod(mantissa + text.substr(e)));
    return mantissa + text.substr(e);
  }

  // The exact halfway point between a float and the next one up, written out
  // in full, or a hair above or below it: correct rounding needs every digit.
  std::string halfway() {
    uint32_t b;
    const uint64_t range = below(10);
    if (range < 3) b = static_cast<uint32_t>(below(0x01000000));  // denormals and the smallest normals
    else if (range < 4) b = 0x7F000000u | static_cast<uint32_t>(below(0x800000));  // the largest
    else if (range < 5) b = static_cast<uint32_t>(0x4B000000u + below(0x01000000));  // integers near 2^24
    else b = static_cast<uint32_t>(below(0x7F800000u));
    const double low = from_bits(b);
    const double high = b == 0x7F7FFFFFu ? std::ldexp(1.0, 128) : from_bits(b + 1);
    const double middle = (low + high) / 2;  // exact: 25 significant bits
    const std::string sign_text = chance(30) ? "-" : chance(10) ? "+" : "";
    const uint64_t variant = below(5);
    if (variant >= 3) {
      std::string hex = printed("%a", middle);
      if (variant == 4) {
        size_t p = hex.find('p');
        if (hex.find('.') == std::string::npos) hex.insert(p++, ".");
        hex.insert(p, "0000001");
      }
      return sign_text + hex;
    }
    std::string text = printed("%.200e", middle);
    const size_t e = text.find('e');
    std::string mantissa = text.substr(0, e);
    const std::string exp = text.substr(e);
    while (!mantissa.empty() && mantissa.back() == '0') mantissa.pop_back();
    if (!mantissa.empty() && mantissa.back() == '.') mantissa.pop_back();
    if (variant == 1) {  // a hair above
      if (mantissa.find('.') == std::string::npos) mantissa += '.';
      mantissa += std::string(below(20), '0') + "1";
    } else if (variant == 2) {  // a hair below
      char& last = mantissa.back();
      if (last >= '1' && last <= '9') {
        --last;
        if (mantissa.find('.') == std::string::npos) mantissa += '.';
        mantissa += std::string(1 + below(20), '9');
      }
    }
    // sometimes without the exponent part, as a plain decimal
    if (chance(25) && std::abs(middle) < 1e30 && std::abs(middle) >= 1) {
      std::string plain = printed("%.160f", middle);
      while (plain.back() == '0') plain.pop_back();
      if (plain.back() == '.') plain.pop_back();
      return sign_text + plain;
    }
    return sign_text + mantissa + exp;
  }

  std::string printed_float() {
    const float value = from_bits(static_cast<uint32_t>(m_rng()));
    static const char* const formats[] = {"%.9g", "%.8g", "%.7g", "%.17g", "%.6e", "%a", "%.3a",
                                          "%.0a", "%.12e", "%f", "%.30f", "%G", "%A"};
    return printed(pick(formats), value);
  }

  // A plain decimal line: white space between the numbers only.
  std::string plain_line() {
    std::string line;
    if (chance(10)) line += whitespace();
    line += plain_token(0);
    const size_t rest = chance(90) ? NUMBER_OF_DATA - 1 : below(NUMBER_OF_DATA + 2);
    for (size_t i = 1; i <= rest; ++i) {
      // now and then any byte right after a number: digit runs must end exactly there
      line += chance(4) ? any_byte() : chance(80) ? " " : whitespace();
      line += plain_token(i);
    }
    const uint64_t r = below(10);
    return line + (r < 7 ? "\n" : r < 8 ? "\r\n" : r < 9 ? "" : " 7 junk\n");
  }

  static bool integer_at(size_t i) {
    return i < static_cast<size_t>(NUMBER_OF_DATA) && LINE_LAYOUT.kinds[i] == 'd';
  }
  std::string token(size_t i) { return integer_at(i) ? int_token() : float_token(); }

  std::string any_byte() { return std::string(1, static_cast<char>(1 + below(255))); }

  // A digit string with a point put in at a random place (or none).
  std::string with_point(std::string text) {
    const uint64_t at = below(text.size() + 2);
    if (at <= text.size()) text.insert(at, ".");
    return text;
  }

  std::string exponent_part(int low, int high) {
    const int value = low + static_cast<int>(below(static_cast<uint64_t>(high - low + 1)));
    std::string text = chance(50) ? "e" : "E";
    if (value < 0) text += "-";
    else if (chance(20)) text += "+";
    if (chance(15)) text += std::string(1 + below(3), '0');
    return text + std::to_string(std::abs(value));
  }

  std::string plain_token(size_t i) {
    if (!integer_at(i)) return plain_float();
    // fewer corner integers after the first, so that long layouts still give whole lines
    return chance(i == 0 ? 85 : 97) ? sign() + digits(1 + below(9)) : pick(BOUNDARY_INTEGERS);
  }

  std::string plain_float() {
    const uint64_t r = below(100);
    if (r < 20) return sign() + with_point(digits(1 + below(9)));
    if (r < 35) {  // significands around 2^23, 2^24 and 2^25 (the end of exact integers)
      static const uint64_t centres[] = {8388608, 16777216, 33554432, 16777216, 10000000};
      const uint64_t significand = centres[below(5)] - 3 + below(7);
      std::string text = with_point(std::to_string(significand));
      if (chance(50)) text += exponent_part(-12, 12);
      return sign() + text;
    }
    if (r < 50) {  // exponents at the edge of the exact powers of ten
      return sign() + with_point(digits(1 + below(8))) + exponent_part(-13, 13);
    }
    if (r < 58) {  // 9 to 19 significant digits, any exponent of a float
      return sign() + with_point(digits(9 + below(11), true)) +
             (chance(60) ? exponent_part(-50, 40) : "");
    }
    if (r < 65) {  // a double as round-trip printers write it: 15 to 19 digits
      const double value = std::ldexp(1.0 + static_cast<double>(below(1u << 30)) / (1u << 30),
                                      static_cast<int>(below(240)) - 120);
      return sign() + (chance(70) ? printed("%.*e", value, 14 + below(5))
                                  : printed("%.*g", value, 15 + below(5)));
    }
    if (r < 72) {  // 20 to 25 digits: more than 64 bits hold, or leading zeros
      return sign() + (chance(50) ? with_point(digits(20 + below(6), true))
                                  : std::string(15 + below(8), '0') + digits(1 + below(9)));
    }
    if (r < 80) return sign() + exact_halfway();
    if (r < 90) {  // near a halfway point, with few digits
      uint32_t b = static_cast<uint32_t>(0x3F800000u + below(0x0F000000u));  // 1 to 2^31
      if (chance(20)) b = static_cast<uint32_t>(below(0x7F800000u));
      const double low = from_bits(b);
      const double middle = (low + static_cast<double>(from_bits(b + 1))) / 2;
      static const char* const formats[] = {"%.9g", "%.10g", "%.12g", "%.15g", "%.17g",
                                            "%.19g", "%.25g", "%.8e", "%.16e"};
      return sign() + printed(pick(formats), middle);
    }
    return sign() + pick(BOUNDARY_FLOATS);
  }

  std::string float_token() {
    const uint64_t r = below(100);
    if (r < 14) return decimal();
    if (r < 26) return exponent();
    if (r < 30) return sign() + std::string(1 + below(6), '0') + decimal();
    if (r < 38) return hex_float();
    if (r < 44) return pick(MALFORMED_FLOATS);
    if (r < 50) return long_digits();
    if (r < 60) return pick(BOUNDARY_FLOATS);
    if (r < 78) return halfway();
    if (r < 92) return printed_float();
    return sign() + digits(1 + below(12));
  }

  std::string int_token() {
    const uint64_t r = below(100);
    if (r < 40) return sign() + digits(1 + below(5));
    if (r < 52) return pick(BOUNDARY_INTEGERS);
    if (r < 57) return sign() + std::string(1 + below(20), '0') + digits(1 + below(10));
    if (r < 62) return sign() + digits(10 + below(50), true);
    if (r < 72) return std::to_string(static_cast<int32_t>(static_cast<uint32_t>(m_rng())));
    if (r < 77) return std::to_string(static_cast<int64_t>(m_rng()) >> below(40));
    if (r < 87) return float_token();
    return decimal();
  }

  std::mt19937_64 m_rng;
};

using Reference = reference::Scan;

// This build's settings, handed to the model as data.
const reference::Settings SETTINGS{{user_run_number, user_start_time, user_stop_time, user_print_time,
                                    user_print_date, user_header, user_ender},
                                   USER_LINE_FORMAT,
                                   static_cast<int>(DATA_SIZE)};

Reference reference_scan(const std::string& line) {
  Reference ref;
  if (!reference::scan(line.c_str(), SETTINGS, ref))
    throw std::runtime_error(std::string("no layout row for the line format ") + USER_LINE_FORMAT);
  return ref;
}

// A line as the scan gets it: followed by the padding it may read.
std::string padded(const std::string& line) { return line + std::string(LINE_PADDING, '\0'); }

constexpr uint32_t UNTOUCHED = 0xA5A5A5A5u;
constexpr int SLOTS = 16;  // the scan is handed sixteen consecutive slots

// Compares USER_SSCANF with the reference; returns an empty string when they
// agree. An integer outside 32 bits has no defined "%d" result: the scan
// refuses the line with a message naming the integer.
std::string compare_with_user_sscanf(const std::string& line, Stdout_tap& tap) {
  const Reference ref = reference_scan(line);
  uint32_t raw[SLOTS];
  for (uint32_t& slot : raw) slot = UNTOUCHED;
  int32_t count = 12345;
  const int status = USER_SSCANF(count, padded(line).c_str(), raw);
  const std::string out = tap.take();
  std::string problems;
  const bool refused = !ref.refused_integer.empty();
  const std::string expected_out =
      refused ? "integer " + ref.refused_integer + " does not fit in 32 bits\n" : "";
  if (status != (refused ? ERROR : OK)) problems += " status " + std::to_string(status);
  if (out != expected_out)
    problems += " printed \"" + visible(out) + "\" (expected \"" + visible(expected_out) + "\")";
  for (int i = NUMBER_OF_DATA; i < SLOTS; ++i)
    if (raw[i] != UNTOUCHED) problems += " slot " + std::to_string(i) + " written";
  // Both builds of the fast path: the line as USER_SSCANF gets it, and where
  // it lies in the input, with the next line's numbers after it, read up to
  // its end or with them. When a build takes the text up to its end (its
  // first newline in place), sscanf gives the same values for it.
  const std::string text = padded(line + "7 7 7 7 7 7 7 7 7 7 7 7 7 7 7 7\n");
  for (const Scan_build build : {Scan_build::BASELINE, Scan_build::AVX2}) {
    if (!scan_build_runs(build)) continue;
    const std::string name = build == Scan_build::AVX2 ? " (AVX2)" : "";
    for (const size_t limit : {size_t{0}, line.size(), text.size() - LINE_PADDING}) {
      uint32_t taken[SLOTS];
      size_t length = 0;
      if (limit == 0 ? !scan_plain_line(build, padded(line).c_str(), SIZE_MAX, taken)
                     : !scan_line_in_place(build, text.c_str(), limit, taken, length))
        continue;
      const size_t newline = text.find('\n');
      if (limit != 0 && (newline >= limit || length != newline + 1)) {
        problems += " length " + std::to_string(length) + " in place" + name;
        continue;
      }
      const Reference part =
          limit == 0 || length == line.size() ? ref : reference_scan(text.substr(0, length));
      if (!part.refused_integer.empty() || part.count != NUMBER_OF_DATA) problems += " taken" + name;
      for (int i = 0; part.refused_integer.empty() && i < part.count && i < NUMBER_OF_DATA; ++i)
        if (taken[i] != part.raw[i]) problems += " value " + std::to_string(i) + " taken" + name;
    }
  }
  if (refused) return problems;
  if (count != ref.count)
    problems += " count " + std::to_string(count) + " (sscanf " + std::to_string(ref.count) + ")";
  for (int i = 0; i < ref.count && i < NUMBER_OF_DATA; ++i) {
    if (raw[i] != ref.raw[i]) {
      char text[96];
      std::snprintf(text, sizeof text, " value %d bits %08x (sscanf %08x)", i, raw[i], ref.raw[i]);
      problems += text;
    }
  }
  return problems;
}

// An input served from memory.
long long read_text(void* context, char* buffer, size_t size) {
  auto& text = *static_cast<std::string*>(context);
  const size_t count = std::min(size, text.size());
  text.copy(buffer, count);
  text.erase(0, count);
  return static_cast<long long>(count);
}

// The words a reader serves.
std::vector<uint16_t> words_of(const Cdata_reader& reader) {
  std::vector<uint16_t> words;
  for (int i = 0; i < reader.get_number_of_word(); ++i) {
    data_t word = 0;
    reader.get_data(word, i);
    words.push_back(static_cast<uint16_t>(word));
  }
  return words;
}

// Compares Cdata_reader's handling of a line with the model's reading of
// it; returns an empty string when they agree.
std::string compare_with_data_reader(const std::string& line, Stdout_tap& tap) {
  if (line.size() >= static_cast<size_t>(MAX_ONE_LINE_LEN)) return " line too long for one read";
  reference::Line ref;
  reference::read_line(line.c_str(), SETTINGS, ref);
  const int expected_status = ref.kind == reference::Line::comment ? COMMENT
                              : ref.kind == reference::Line::bad   ? ERROR
                                                                   : OK;
  const std::string& expected_out = ref.message;
  std::vector<uint16_t> expected_words;
  if (ref.kind == reference::Line::data) expected_words.assign(ref.words, ref.words + SETTINGS.words_per_line());

  Cdata_reader reader;
  std::memcpy(reader.line(), line.c_str(), line.size() + 1);
  const int status = reader.process_line();
  const std::string out = tap.take();
  std::string problems;
  if (status != expected_status)
    problems += " status " + std::to_string(status) + " (expected " + std::to_string(expected_status) + ")";
  if (out != expected_out) problems += " printed \"" + visible(out) + "\" (expected \"" + visible(expected_out) + "\")";
  if (status == OK && expected_status == OK) {
    const std::vector<uint16_t> words = words_of(reader);
    if (words != expected_words) {
      problems += " words";
      for (size_t i = 0; i < words.size(); ++i) {
        char text[16];
        std::snprintf(text, sizeof text, " %04x", words[i]);
        problems += text;
      }
      problems += " (sscanf";
      for (const uint16_t w : expected_words) {
        char text[16];
        std::snprintf(text, sizeof text, " %04x", w);
        problems += text;
      }
      problems += ")";
    }
  }
  // The line read from an input after a good line, where it is taken in
  // place: the same outcome, and a bad line leaves none of the good line's
  // words.
  if (!line.empty() && line.find('\n') >= line.size() - 1) {
    std::string text = "1";
    for (int i = 1; i < NUMBER_OF_DATA; ++i) text += " 1";
    text += "\n" + line;
    Cfile file;
    file.open_source({&text, read_text, nullptr}, "lines");
    Cdata_reader from_input;
    from_input.read_in_one_line(&file);
    const int read = from_input.read_in_one_line(&file);
    if (read != status || tap.take() != out ||
        (read == OK ? words_of(from_input) != words_of(reader) : from_input.get_number_of_word() != 0))
      problems += " read from an input: status " + std::to_string(read);
  }
  return problems;
}

// Lines built from the named corner tokens in every position.
std::vector<std::string> corner_lines() {
  std::vector<std::string> lines;
  for (const char* token : BOUNDARY_FLOATS) {
    const std::string t = token;
    lines.push_back("1 " + t + " 2 3 4 5\n");
    lines.push_back("1 2 3 4 5 " + t + "\n");
    lines.push_back("-7 " + t + " " + t + " " + t + " " + t + " " + t + "\r\n");
    lines.push_back("1" + t + t + t + t + t);
  }
  for (const char* token : MALFORMED_FLOATS) {
    const std::string t = token;
    lines.push_back("1 " + t + " 2 3 4 5\n");
    lines.push_back("1 2 3 4 5 " + t + "\n");
    lines.push_back("1 2 3 4 " + t + " 6\n");
    lines.push_back("1 " + t + t + t + t + t + "\n");
    lines.push_back(t + " 2 3 4 5 6\n");
  }
  for (const char* token : BOUNDARY_INTEGERS) {
    const std::string t = token;
    lines.push_back(t + " 2 3 4 5 6\n");
    lines.push_back(" \t" + t + " 2 3 4 5 6\n");
    lines.push_back(t + "\n");
    lines.push_back(t + ".5 2 3 4 5\n");
  }
  // each corner token of a kind at each position of the layout
  static const char* const SHORT_BOUNDARIES[] = {"32767", "-32768", "32768", "-32769", "65535"};
  for (int at = 0; at < NUMBER_OF_DATA; ++at) {
    std::vector<const char*> tokens;
    if (LINE_LAYOUT.kinds[at] == 'd') {
      tokens.assign(std::begin(BOUNDARY_INTEGERS), std::end(BOUNDARY_INTEGERS));
      tokens.insert(tokens.end(), std::begin(SHORT_BOUNDARIES), std::end(SHORT_BOUNDARIES));
    } else {
      tokens.assign(std::begin(BOUNDARY_FLOATS), std::end(BOUNDARY_FLOATS));
      tokens.insert(tokens.end(), std::begin(MALFORMED_FLOATS), std::end(MALFORMED_FLOATS));
    }
    for (const char* token : tokens) {
      std::string line;
      for (int i = 0; i < NUMBER_OF_DATA; ++i)
        line += std::string(i == 0 ? "" : " ") +
                (i == at ? token : LINE_LAYOUT.kinds[i] == 'd' ? "-7" : "2.5");
      lines.push_back(line + "\n");
    }
  }
  // every value at every place around the edges of the 64-byte pieces a line
  // is looked at in, and numbers as long as a piece
  for (size_t shift = 0; shift <= 140; ++shift) {
    const std::string zeros(shift % 70, '0');
    std::string line(shift, shift % 3 == 0 ? '\t' : ' ');
    for (int i = 0; i < NUMBER_OF_DATA; ++i)
      line += std::string(i == 0 ? "" : " ") +
              (LINE_LAYOUT.kinds[i] == 'd' ? "-7" : i % 2 ? "1." + zeros + "5e-3" : "0.000012345");
    lines.push_back(line + (shift % 2 ? "\n" : ""));
  }
  return lines;
}

void run_lines(const char* what, const std::vector<std::string>& lines,
               std::string (*compare)(const std::string&, Stdout_tap&)) {
  size_t failures = 0;
  std::vector<std::string> reports;
  {
    Stdout_tap tap;  // nothing else may print while it is in place
    tap.take();
    for (size_t i = 0; i < lines.size(); ++i) {
      const std::string problems = compare(lines[i], tap);
      if (problems.empty()) continue;
      if (++failures <= 20)
        reports.push_back(std::string(what) + " line " + std::to_string(i) + " \"" +
                          visible(lines[i]) + "\":" + problems);
    }
  }
  for (const auto& report : reports) ADD_FAILURE() << report;
  EXPECT_EQ(0u, failures) << "of " << lines.size() << " lines";
}

std::vector<std::string> generated_lines() {
  const uint64_t count = env_number("TVQ_DIFF_LINES", 5000);
  const uint64_t seed = env_number("TVQ_DIFF_SEED", 20240611);
  Line_generator generator(seed);
  std::vector<std::string> lines;
  lines.reserve(static_cast<size_t>(count));
  for (uint64_t i = 0; i < count; ++i) lines.push_back(generator.next_line());
  return lines;
}

TEST(ScanDifferential, ByteRangesAgreeWithThePortableOnes) {
  // the ranges the scan looks for: digits, white space, NUL
  const unsigned char ranges[][2] = {{'0', '9'}, {'\t', '\r'}, {' ', ' '}, {0, 0}};
  for (const auto& range : ranges) {
    for (int at = 0; at < 16; ++at) {
      for (int byte = 0; byte < 256; ++byte) {
        for (const char fill : {'7', ' '}) {
          char window[16];
          std::memset(window, fill, sizeof window);
          window[at] = static_cast<char>(byte);
          ASSERT_EQ(bytes_in_range_portable(window, range[0], range[1]),
                    bytes_in_range(window, range[0], range[1]))
              << "byte " << byte << " at " << at << " among '" << fill << "', range "
              << int{range[0]} << "-" << int{range[1]};
        }
      }
    }
  }
}

TEST(ScanDifferential, CornerLinesScanLikeSscanf) {
  run_lines("corner", corner_lines(), compare_with_user_sscanf);
}

TEST(ScanDifferential, GeneratedLinesScanLikeSscanf) {
  const std::vector<std::string> lines = generated_lines();
  // the generator must reach every outcome, or it proves little
  size_t complete = 0, fewer = 0, none = 0, out_of_range = 0, no_value = 0, plain_short = 0;
  for (const auto& line : lines) {
    const Reference ref = reference_scan(line);
    if (ref.count == NUMBER_OF_DATA && line.size() <= 20 * static_cast<size_t>(NUMBER_OF_DATA) &&
        line.find_first_not_of("0123456789+-.eE \t\r\n\v\f") == std::string::npos)
      ++plain_short;
    if (ref.count == NUMBER_OF_DATA) ++complete;
    else if (ref.count > 0) ++fewer;
    else ++none;
    if (ref.count < 1) ++no_value;
    else if (!ref.refused_integer.empty()) ++out_of_range;
  }
  if (lines.size() >= 1000) {
    EXPECT_GT(complete, lines.size() / 5) << "too few lines with all values";
    EXPECT_GT(fewer, lines.size() / 20) << "too few lines with fewer values";
    EXPECT_GT(none, lines.size() / 100) << "too few lines with no value";
    EXPECT_GT(out_of_range, lines.size() / 100) << "too few integers outside 32 bits";
    EXPECT_GT(no_value, lines.size() / 100) << "too few lines without a first value";
    EXPECT_GT(plain_short, lines.size() / 5) << "too few short plain decimal lines";
  }
  run_lines("generated", lines, compare_with_user_sscanf);
}

TEST(ScanDifferential, CornerLinesThroughDataReader) {
  run_lines("corner", corner_lines(), compare_with_data_reader);
}

TEST(ScanDifferential, GeneratedLinesThroughDataReader) {
  run_lines("generated", generated_lines(), compare_with_data_reader);
}

}  // namespace
