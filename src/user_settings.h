// User settings: the texts written into the header and ender blocks by -t2b,
// and the layout of a text data line (how many values, how wide, how scanned).
// Edit the values below and rebuild, or keep them and name another file with
// the same names at configure time (cmake -DTVQ_USER_SETTINGS=FILE). Every
// setting is checked when the program is compiled.
#ifndef USER_SETTINGS_H
#define USER_SETTINGS_H

#include <cstddef>
#include <cstdint>

#include "line_format.h"
#include "tvq_constants.h"

#ifdef TVQ_USER_SETTINGS
#include TVQ_USER_SETTINGS
#else

// header and ender texts; each array is one longer than its field
constexpr char user_run_number[9] = "RUN-1001";
constexpr char user_start_time[19] = "START => 33:33:33 ";
constexpr char user_stop_time[19] = " STOP => 44:44:44 ";
constexpr char user_print_time[19] = "PRINT => xx:xx:xx ";
constexpr char user_print_date[11] = " 01-JAN-01";
constexpr char user_header[81] = "hello world";
constexpr char user_ender[81] = "goodnight world";

// bytes per value (4: two words each, %d and %f; 2: one word each, %d only,
// each value within 16 bits) and values per data line
constexpr uint32_t DATA_SIZE = 4;
constexpr int32_t NUMBER_OF_DATA = 6;

// 1 to 16 conversions, %d or %f in any order, separated by white space
constexpr const char* USER_LINE_FORMAT = "%d %f %f %f %f %f";

#endif

namespace user_settings_check {

// The texts of fixed width are copied whole into their fields, the header
// and ender texts up to their terminator.
template <size_t N>
constexpr bool fits_field(const char (&text)[N], int32_t field) {
  size_t length = 0;
  while (length < N && text[length] != '\0') ++length;
  return N == static_cast<size_t>(field) + 1 && length <= static_cast<size_t>(field);
}

}  // namespace user_settings_check

static_assert(user_settings_check::fits_field(user_run_number, RUN_NUMBER_LEN),
              "user_run_number: at most 8 characters, in a char[9]");
static_assert(user_settings_check::fits_field(user_start_time, START_TIME_LEN),
              "user_start_time: at most 18 characters, in a char[19]");
static_assert(user_settings_check::fits_field(user_stop_time, STOP_TIME_LEN),
              "user_stop_time: at most 18 characters, in a char[19]");
static_assert(user_settings_check::fits_field(user_print_time, PRINT_TIME_LEN),
              "user_print_time: at most 18 characters, in a char[19]");
static_assert(user_settings_check::fits_field(user_print_date, PRINT_DATE_LEN),
              "user_print_date: at most 10 characters, in a char[11]");
static_assert(user_settings_check::fits_field(user_header, HEADER_LEN),
              "user_header: the header text, at most 80 characters, in a char[81]");
static_assert(user_settings_check::fits_field(user_ender, ENDER_LEN),
              "user_ender: the ender text, at most 80 characters, in a char[81]");

constexpr Line_layout LINE_LAYOUT = parse_line_format(USER_LINE_FORMAT);

static_assert(!LINE_LAYOUT.other_conversion, "USER_LINE_FORMAT: " LAYOUT_RULE_PLAIN);
static_assert(!LINE_LAYOUT.other_text, "USER_LINE_FORMAT: " LAYOUT_RULE_TEXT);
static_assert(!LINE_LAYOUT.unseparated, "USER_LINE_FORMAT: " LAYOUT_RULE_SEPARATED);
static_assert(LINE_LAYOUT.conversions >= 1 && LINE_LAYOUT.conversions <= MAX_CONVERSIONS,
              "USER_LINE_FORMAT: " LAYOUT_RULE_COUNT);
static_assert(NUMBER_OF_DATA == LINE_LAYOUT.conversions,
              "NUMBER_OF_DATA differs from the number of conversions in USER_LINE_FORMAT");
static_assert(DATA_SIZE == 2 || DATA_SIZE == 4, "DATA_SIZE: " LAYOUT_RULE_DATA_SIZE);
static_assert(DATA_SIZE == 4 || !LINE_LAYOUT.has_float, "DATA_SIZE " LAYOUT_RULE_SHORTS);
static_assert(layout_problem(LINE_LAYOUT, DATA_SIZE) == nullptr,
              "layout_problem() agrees with the checks above");

// Data words of one data line.
constexpr int32_t WORDS_PER_LINE = NUMBER_OF_DATA * static_cast<int32_t>(DATA_SIZE / 2);

// USER_SSCANF() : scans a data line with USER_LINE_FORMAT; number_of_data
// gets the scan's result (values converted, or -1 when the line ends before
// the first), raw the integers' values and the floats' bit patterns in the
// order of the format. The line needs LINE_PADDING readable bytes after its
// terminator. Returns OK, or ERROR after a message for an integer that does
// not fit in 32 bits (the C library's "%d" has no defined result for it).
// The line scan (line_scan.cpp) builds it for this format.
int USER_SSCANF(int32_t& number_of_data, const char* line, uint32_t* raw);

#endif
