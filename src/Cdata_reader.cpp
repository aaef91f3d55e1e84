// Cdata_reader: one line of -t2b's text input at a time: a comment, or a data
// line scanned and cut into its data words.
#include "Cdata_reader.h"

#include <algorithm>
#include <cstring>

#include "line_scan.h"
#include "messages.h"

Cdata_reader::Cdata_reader()
    : m_line(),
      m_raw(new uint32_t[NUMBER_OF_DATA]()),
      m_data(new data_t[MAX_WORDS]()),
      m_number_of_data(0),
      m_number_of_word(0) {}

Cdata_reader::~Cdata_reader() {
  delete[] m_raw;
  delete[] m_data;
}

int Cdata_reader::read_in_one_line(Cfile* in) {
  // Comments and plain data lines, nearly all lines, are taken where they
  // lie in the input buffer, when it holds them whole; USER_SSCANF would
  // give the same values.
  size_t available = 0;
  const char* text = in->peek_input(available);
  const size_t limit = std::min(available, static_cast<size_t>(MAX_ONE_LINE_LEN) - 1);
  if (limit > 0) {
    m_number_of_word = 0;  // no words are served from an earlier line
    if (is_comment(text)) {
      const auto* newline = static_cast<const char*>(std::memchr(text, '\n', limit));
      if (newline != nullptr) {
        in->take_line(static_cast<size_t>(newline - text) + 1);
        return COMMENT;
      }
    } else {
      size_t length = 0;
      if (scan_line_in_place(text, limit, m_raw, length)) {
        in->take_line(length);
        m_number_of_data = NUMBER_OF_DATA;
        if constexpr (DATA_SIZE == 4) {
          // What convert_scanned() does for a line with every value, with
          // sizes known when compiling: a value's two words, low word first,
          // are its bytes.
          std::memcpy(m_data, m_raw, sizeof m_raw[0] * NUMBER_OF_DATA);
          m_number_of_word = WORDS_PER_LINE;
          return OK;
        }
        return convert_scanned();
      }
    }
  }
  const int read = in->read_line(m_line, MAX_ONE_LINE_LEN);
  if (read != OK) return read;
  return process_line();
}

int Cdata_reader::process_line() {
  m_number_of_word = 0;  // no words are served from an earlier line
  if (check_comment() == COMMENT) return COMMENT;
  if (USER_SSCANF(m_number_of_data, m_line, m_raw) == ERROR) return ERROR;
  if (m_number_of_data != NUMBER_OF_DATA) {
    say_line("\n scaned number and number_of_data is not consistent!!\n");
    return ERROR;
  }
  return convert_scanned();
}

int Cdata_reader::convert_scanned() {
  if (convert_data_to_data_t(DATA_SIZE) == ERROR) {
    say_step("error@Cdata_reader::convert_data_to_data_t");
    return ERROR;
  }
  if (count_number_of_word(DATA_SIZE) == ERROR) {
    say_step("error@Cdata_reader::count nuber of word");
    return ERROR;
  }
  return OK;
}

// The scanned count bounded to the slots that exist (-1 means none).
int32_t Cdata_reader::scanned_values() const {
  if (m_number_of_data < 0) return 0;
  return m_number_of_data > NUMBER_OF_DATA ? NUMBER_OF_DATA : m_number_of_data;
}

int Cdata_reader::report_bad_index(data_t& destination, int32_t index) {
  destination = 0;
  say("cannot access to m_data[%d]\n", index);
  return ERROR;
}

int Cdata_reader::check_comment() const { return is_comment(m_line) ? COMMENT : OK; }

bool Cdata_reader::is_comment(const char* line) {
  const char first = line[0];
  const char second = first == '\0' ? '\0' : line[1];
  return first == '#' || first == 'c' || first == '%' || first == '\n' ||
         (first == '/' && second == '/');
}

int Cdata_reader::convert_data_to_data_t(uint32_t data_size) {
  const int32_t count = scanned_values();
  if (data_size == 4) {
    // a value's two words, low word first, are its bytes on a little-endian
    // machine (read_in_one_line() does the same for the lines it takes in
    // place)
    std::memcpy(m_data, m_raw, sizeof m_raw[0] * static_cast<size_t>(count));
    return OK;
  }
  if (data_size == 2) {
    for (int32_t i = 0; i < count; ++i) {
      const auto value = static_cast<int32_t>(m_raw[i]);
      if (value < INT16_MIN || value > INT16_MAX) {
        say_line("input data is too large or small for short");
        return ERROR;
      }
      m_data[i] = static_cast<data_t>(value);
    }
    return OK;
  }
  say_line("input data_size is wrong");
  return ERROR;
}

int Cdata_reader::count_number_of_word(uint32_t data_size) {
  const int32_t count = scanned_values();
  if (data_size == 4) {
    m_number_of_word = 2 * count;
    return OK;
  }
  if (data_size == 2) {
    m_number_of_word = count;
    return OK;
  }
  say_line("input data_size is wrong");
  return ERROR;
}
