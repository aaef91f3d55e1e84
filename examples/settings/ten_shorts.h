// Settings for data lines of ten integers of 16 bits each: one word a value,
// 10 data words a record. Build the program with:
//   cmake -S . -B build-ten -DTVQ_BUILD_TESTS=OFF -DTVQ_USER_SETTINGS=examples/settings/ten_shorts.h
//   cmake --build build-ten -j
// The test suite (ctest, tests/run.sh) assumes the shipped settings of
// src/user_settings.h: in a build with these, the tests that know the shipped
// line layout fail (the data reader's unit tests, the end-to-end tests of
// -t2b, -b2t, the command line and the faults). What checks another layout,
// as .ci/run does, in a build with the tests on:
//   cmake -S . -B build-ten -DTVQ_USER_SETTINGS=examples/settings/ten_shorts.h
//   cmake --build build-ten -j --target tvqconverter scan_differential_test
//   build-ten/tests/scan_differential_test   # the line scan against sscanf
//   python3 tests/e2e/check_layout.py build-ten/tvqconverter examples/settings/ten_shorts.h
// (-t2b of a full event block and of bad lines, then -b2t, end to end).

constexpr char user_run_number[9] = "RUN-0010";
constexpr char user_start_time[19] = "START => 10:00:00 ";
constexpr char user_stop_time[19] = " STOP => 10:59:59 ";
constexpr char user_print_time[19] = "PRINT => 11:00:00 ";
constexpr char user_print_date[11] = " 10-OCT-10";
constexpr char user_header[81] = "ten 16-bit integers a line";
constexpr char user_ender[81] = "end of the ten-value run";

constexpr uint32_t DATA_SIZE = 2;
constexpr int32_t NUMBER_OF_DATA = 10;
constexpr const char* USER_LINE_FORMAT = "%d %d %d %d %d %d %d %d %d %d";
