// User settings: the texts written into the header and ender blocks by -t2b,
// and the layout of a text data line (how many values, how wide, how scanned).
#ifndef USER_SETTINGS_H
#define USER_SETTINGS_H

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "line_scan.h"
#include "tvq_constants.h"

constexpr char user_run_number[9] = "RUN-1001";
constexpr char user_start_time[19] = "START => 33:33:33 ";
constexpr char user_stop_time[19] = " STOP => 44:44:44 ";
constexpr char user_print_time[19] = "PRINT => xx:xx:xx ";
constexpr char user_print_date[11] = " 01-JAN-01";
constexpr char user_header[81] = "hello world";
constexpr char user_ender[81] = "goodnight world";

// bytes per value and values per data line
constexpr uint32_t DATA_SIZE = 4;
constexpr int32_t NUMBER_OF_DATA = 6;

// USER_SSCANF() : scans a data line with the line format; number_of_data
// gets the scan's result (values converted, or -1 when the line ends before
// the first). raw receives slot 0 the integer, slots 1 to 5 the bit patterns
// of the floats. Returns OK, or ERROR after a message for an integer that
// does not fit in 32 bits.
constexpr const char* USER_LINE_FORMAT = "%d %f %f %f %f %f";

inline int USER_SSCANF(int32_t& number_of_data, const char* line, uint32_t* raw) {
  // Plain decimal lines, nearly all of them, are scanned without the C
  // library and with its exact results.
  if (scan_plain_line(line, 1, NUMBER_OF_DATA - 1, raw)) {
    number_of_data = NUMBER_OF_DATA;
    return OK;
  }
  if (check_integer_fits(line) == ERROR) {
    number_of_data = 0;
    return ERROR;
  }
  int integer = 0;
  float values[NUMBER_OF_DATA - 1] = {};
  number_of_data = std::sscanf(line, USER_LINE_FORMAT, &integer, &values[0], &values[1],
                               &values[2], &values[3], &values[4]);
  if (number_of_data >= 1) raw[0] = static_cast<uint32_t>(integer);
  for (int32_t i = 1; i < number_of_data; ++i) std::memcpy(&raw[i], &values[i - 1], sizeof(float));
  return OK;
}

#endif
