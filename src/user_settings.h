// User settings: the texts written into the header and ender blocks by -t2b,
// and the layout of a text data line (how many values, how wide, how scanned).
#ifndef USER_SETTINGS_H
#define USER_SETTINGS_H

#include <cstdint>

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

#endif
