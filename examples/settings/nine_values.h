// Settings for data lines of two integers and seven floats: 18 data words
// a record. Build with: cmake -S . -B build-nine -DTVQ_USER_SETTINGS=examples/settings/nine_values.h

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
