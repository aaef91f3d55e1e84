// Settings for data lines of two integers and seven floats: 18 data words
// a record. Build the program with:
//   cmake -S . -B build-nine -DTVQ_BUILD_TESTS=OFF -DTVQ_USER_SETTINGS=examples/settings/nine_values.h
//   cmake --build build-nine -j
// The test suite (ctest, tests/run.sh) assumes the shipped settings of
// src/user_settings.h: in a build with these, the tests that know the shipped
// line layout fail (the data reader's unit tests, the end-to-end tests of
// -t2b, -b2t, the command line and the faults). What checks another layout,
// as .ci/run does, in a build with the tests on:
//   cmake -S . -B build-nine -DTVQ_USER_SETTINGS=examples/settings/nine_values.h
//   cmake --build build-nine -j --target tvqconverter scan_differential_test
//   build-nine/tests/scan_differential_test   # the line scan against sscanf
//   python3 tests/e2e/check_layout.py build-nine/tvqconverter examples/settings/nine_values.h
// (-t2b of a full event block and of bad lines, then -b2t, end to end).

constexpr char user_run_number[9] = "RUN-0009";
constexpr char user_start_time[19] = "START => 09:00:00 ";
constexpr char user_stop_time[19] = " STOP => 09:59:59 ";
constexpr char user_print_time[19] = "PRINT => 10:00:00 ";
constexpr char user_print_date[11] = " 09-SEP-09";
constexpr char user_header[81] = "nine values a line: two integers, seven floats";
constexpr char user_ender[81] = "end of the nine-value run";

constexpr uint32_t DATA_SIZE = 4;
constexpr int32_t NUMBER_OF_DATA = 9;
constexpr const char* USER_LINE_FORMAT = "%d %d %f %f %f %f %f %f %f";
