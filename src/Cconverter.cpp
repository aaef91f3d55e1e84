#include "Cconverter.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "Cdata_reader.h"
#include "global.h"
#include "user_settings.h"

namespace {

// One record of a data line: its head and its data words.
constexpr int32_t WORDS_PER_RECORD = Cdata_reader::MAX_WORDS + EVENT_SIZE / 2;
static_assert(2 * (EVENT_BLOCK_BLANK_NUM + EVENT_BLOCK_BLANK_LEN / 2) + 2 * WORDS_PER_RECORD + 4 <=
                  BLOCK_SIZE,
              "one record and the two closing markers must fit in an event block");

// "%4d " of every word value: its text in the first bytes of an 8-byte entry
// and its length (5, or 6 from 10000 on) in the last byte. Built on first use.
const uint64_t* decimal_table() {
  alignas(64) static uint64_t table[65536];
  static bool built = false;
  if (!built) {
    for (uint32_t value = 0; value < 65536; ++value) {
      unsigned char text[8] = {' ', ' ', ' ', ' ', ' ', ' ', 0, 0};
      const uint32_t length = value < 10000 ? 5 : 6;
      uint32_t rest = value;
      uint32_t at = length - 2;
      do {
        text[at--] = static_cast<unsigned char>('0' + rest % 10);
        rest /= 10;
      } while (rest != 0);
      text[7] = static_cast<unsigned char>(length);
      std::memcpy(&table[value], text, 8);
    }
    built = true;
  }
  return table;
}

// put_word() : the 8 bytes of the entry are stored, the length counted; the
// bytes past the text are overwritten by what follows.
inline char* put_word(char* p, const uint64_t* decimal, uint32_t value) {
  const uint64_t entry = decimal[value];
  std::memcpy(p, &entry, 8);
  return p + (entry >> 56);
}

inline char* put_text(char* p, const char* text) {
  const size_t length = std::strlen(text);
  std::memcpy(p, text, length);
  return p + length;
}

// A listing holds each word of the block at most once ("65535 ") and a newline
// per record of at least five words, plus the block's own line and the bytes
// past the last word that put_word stores (it stores eight).
constexpr size_t LISTING_MAX = WORDS_PER_BLOCK * 6 + WORDS_PER_BLOCK / 5 + 128;
static_assert(LISTING_MAX <= Cfile::OUTPUT_ROOM, "a block's listing is formatted in place");

inline void put16(unsigned char* p, uint16_t value) {
  p[0] = static_cast<unsigned char>(value & 0xFF);
  p[1] = static_cast<unsigned char>(value >> 8);
}

// Words of a block as unsigned values (the listing and the peek need 0 to 65535).
inline uint16_t word_at(const int16_t* block, uint32_t index) {
  return static_cast<uint16_t>(block[index]);
}

void report_missing_block(const char* what, const Cfile* in) {
  if (in->blocks_read() == 0)
    std::printf("no %s block: %s is empty\n", what, in->name().c_str());
  else
    std::printf("no %s block: %s ends after %lld blocks\n", what, in->name().c_str(),
                static_cast<long long>(in->blocks_read()));
}

}  // namespace

Cconverter::Cconverter()
    : m_in(nullptr), m_out(nullptr), m_reader(std::make_unique<Cdata_reader>()) {}

Cconverter::~Cconverter() = default;

int Cconverter::set_file(Cfile* file, std::string mode) {
  if (mode == "in") {
    m_in = file;
    return OK;
  }
  if (mode == "out") {
    m_out = file;
    return OK;
  }
  std::puts("Cconverter::set_file mode is wrong");
  return ERROR;
}

// ---------------------------------------------------------------- block walk

int Cconverter::read_header_binary(int16_t* block, Cfile* in) {
  return read_typed_block(block, in, FLAG_OF_HEADER, "header", "this block is not header");
}

int Cconverter::read_event_block_binary(int16_t* block, Cfile* in) {
  return read_typed_block(block, in, FLAG_OF_EVENT_BLOCK, "event",
                          "this block is not event block");
}

int Cconverter::read_ender_binary(int16_t* block, Cfile* in) {
  return read_typed_block(block, in, FLAG_OF_ENDER, "ender", "this block is not ender");
}

// Reads the next block and checks its word 0; a block the input does not hold
// whole is reported and never checked.
int Cconverter::read_typed_block(int16_t* block, Cfile* in, int16_t flag, const char* type,
                                 const char* wrong_type) {
  const int result = in->read_one_block(block);
  if (result == END_OF_FILE) report_missing_block(type, in);
  if (result != OK) return ERROR;
  if (block[0] != flag) {
    std::puts(wrong_type);
    return ERROR;
  }
  return OK;
}

// The walk of -b2rb and -b2t: header, event blocks until a block whose word 0
// is the ender flag, ender. Each block is peeked at (read, then stepped back)
// so that the typed reader takes it whole. A writer whose output failed ends
// the walk under that writer's name.
int Cconverter::walk_blocks(const Block_writers& writers) {
  int16_t* block = m_block;

  if (read_header_binary(block, m_in) == ERROR) {
    std::puts("read_heaader_binary");
    return ERROR;
  }
  m_out->write_word('\n');
  (this->*writers.header)(block, m_out);
  if (m_out->write_failed()) {
    std::puts(writers.header_name);
    return ERROR;
  }

  int32_t counter = 0;
  for (;;) {
    const int peeked = m_in->read_one_block(block);
    if (peeked != OK) {
      if (peeked == END_OF_FILE) report_missing_block("ender", m_in);
      std::puts("read_one_block");
      return ERROR;
    }
    m_in->seek_back_one_block();
    if (block[FLAG_OF_ENDER_NUM] == FLAG_OF_ENDER) break;

    if (read_event_block_binary(block, m_in) == ERROR) {
      std::puts("read_event_block_binary");
      return ERROR;
    }
    ++counter;
    (this->*writers.event_block)(block, counter, m_out);
    if (m_out->write_failed()) {
      std::puts(writers.event_block_name);
      return ERROR;
    }
  }

  if (read_ender_binary(block, m_in) == ERROR) {
    std::puts("read_ender_binary");
    return ERROR;
  }
  (this->*writers.ender)(block, m_out);
  if (m_out->write_failed()) {
    std::puts(writers.ender_name);
    return ERROR;
  }
  return OK;
}

// ------------------------------------------------------------ readable dump

int Cconverter::convert_binary_to_readable_binary() {
  return walk_blocks({&Cconverter::write_header_readable_binary, "write_header_readable_binary",
                      &Cconverter::write_event_block_readable_binary,
                      "write_event_block_readable_binary", &Cconverter::write_ender_readable_binary,
                      "write_ender_readable_binary"});
}

int Cconverter::write_header_readable_binary(const int16_t* block, Cfile* out) {
  out->write_word("#  start header\n\n");
  out->write_one_block(block);
  out->write_word('\n');
  return OK;
}

int Cconverter::write_event_block_readable_binary(const int16_t* block, int32_t number,
                                                  Cfile* out) {
  out->write_word("#  ");
  out->write_word(number);
  out->write_word(" event block\n\n");
  out->write_one_block(block);
  out->write_word('\n');
  return OK;
}

int Cconverter::write_ender_readable_binary(const int16_t* block, Cfile* out) {
  out->write_word("#  start ender\n\n");
  out->write_one_block(block);
  out->write_word('\n');
  return OK;
}

// ------------------------------------------------------------- text listing

int Cconverter::convert_binary_to_txt() {
  return walk_blocks({&Cconverter::write_header_txt, "write_header_txt",
                      &Cconverter::write_event_block_txt, "write_event_block_txt",
                      &Cconverter::write_ender_txt, "write_ender_txt"});
}

// The seven text fields of a header or ender block, one comment line each.
int Cconverter::write_fields_txt(const char* banner, const int16_t* block, Cfile* out) {
  static constexpr int32_t FIELDS[][2] = {
      {RUN_NUMBER_NUM, RUN_NUMBER_LEN}, {START_TIME_NUM, START_TIME_LEN},
      {STOP_TIME_NUM, STOP_TIME_LEN},   {PRINT_TIME_NUM, PRINT_TIME_LEN},
      {PRINT_DATE_NUM, PRINT_DATE_LEN}, {HEADER_NUM, HEADER_LEN},
      {ENDER_NUM, ENDER_LEN}};
  out->write_word(banner);
  for (const auto& field : FIELDS) {
    char text[HEADER_LEN + 1];
    decode_binary_to_string(block, text, field[0], field[1]);
    out->write_word("#  ");
    out->write_word(text);
    out->write_word("\n");
  }
  out->write_word('\n');
  return OK;
}

int Cconverter::write_header_txt(const int16_t* block, Cfile* out) {
  return write_fields_txt("#  start header\n\n", block, out);
}

int Cconverter::write_ender_txt(const int16_t* block, Cfile* out) {
  return write_fields_txt("#  start ender\n\n", block, out);
}

// One line per record: event id, segment id and data words, "%4d " each.
// A record's words are taken in order, as far as they lie in the block: the
// first word outside it ends the block's listing with a message, and so do an
// inconsistent record and a segment too short to hold its own head.
int Cconverter::write_event_block_txt(const int16_t* block, int32_t number, Cfile* out) {
  const uint64_t* const decimal = decimal_table();
  char* const text = out->reserve_output(LISTING_MAX);
  char* p = put_text(text, "#  ");
  p += std::snprintf(p, 16, "%d", number);
  p = put_text(p, " event block\n\n");

  constexpr uint32_t END = WORDS_PER_BLOCK;
  int result = OK;
  uint32_t position = EVENT_SIZE_NUM;
  uint32_t start = position;
  const auto runs_past = [&] {
    std::printf("record at word %u of event block %d runs past the end of the block\n", start,
                number);
    result = ERROR;
  };
  while (position < END - 1) {
    start = position;
    const uint32_t event_size_word = word_at(block, position++);
    if ((event_size_word & 0x8000u) == 0) break;
    const int32_t event_size = static_cast<int32_t>(event_size_word & 0x7FFFu);
    if (word_at(block, position++) != static_cast<uint16_t>(FLAG_OF_FID)) break;
    if (position == END) {
      runs_past();
      break;
    }
    p = put_word(p, decimal, word_at(block, position++));  // event id
    if (position == END) {
      runs_past();
      break;
    }
    const int32_t segment_size = word_at(block, position++);
    if (event_size - segment_size != 3) {
      std::puts("event_size or segment_size is wrong");
      result = ERROR;
      break;
    }
    if (segment_size < 2) {
      std::printf("segment size %d is too small at word %u of event block %d\n", segment_size,
                  start, number);
      result = ERROR;
      break;
    }
    // segment id and data words
    const auto words = static_cast<uint32_t>(segment_size - 1);
    const uint32_t listed = std::min(words, END - position);
    const int16_t* word = block + position;
#pragma GCC unroll 4
    for (uint32_t i = 0; i < listed; ++i) p = put_word(p, decimal, static_cast<uint16_t>(word[i]));
    position += listed;
    if (listed < words) {
      runs_past();
      break;
    }
    *p++ = '\n';
  }
  if (result == OK) *p++ = '\n';
  out->commit_output(p);
  return result;
}

// ----------------------------------------------------------- text to binary

int Cconverter::read_header_txt(Cuser* user) {
  std::memcpy(user->run_number, user_run_number, RUN_NUMBER_LEN);
  std::memcpy(user->start_time, user_start_time, START_TIME_LEN);
  std::memcpy(user->stop_time, user_stop_time, STOP_TIME_LEN);
  std::memcpy(user->print_time, user_print_time, PRINT_TIME_LEN);
  std::memcpy(user->print_date, user_print_date, PRINT_DATE_LEN);
  std::memset(user->header, 0, HEADER_LEN);
  user->header_length = static_cast<int32_t>(std::strlen(user_header));
  std::memcpy(user->header, user_header, static_cast<size_t>(user->header_length));
  std::memset(user->ender, 0, ENDER_LEN);
  user->ender_length = static_cast<int32_t>(std::strlen(user_ender));
  std::memcpy(user->ender, user_ender, static_cast<size_t>(user->ender_length));
  return OK;
}

int Cconverter::read_ender_txt(Cuser* user) { return read_header_txt(user); }

int Cconverter::read_event_block_txt(char* line, uint32_t size, Cfile* in) {
  return in->read_line(line, size);
}

// Header and ender blocks share one layout; only word 0 differs.
int Cconverter::write_user_block(int16_t flag, const Cuser* user) {
  auto* block = reinterpret_cast<unsigned char*>(m_block);
  std::memset(block, 0, BLOCK_SIZE);
  put16(block, static_cast<uint16_t>(flag));
  unsigned char* p = block + 2 + HEADER_BLANK_LEN;
  const auto put = [&p](const char* text, size_t length) {
    std::memcpy(p, text, length);
    p += length;
  };
  put(user->run_number, RUN_NUMBER_LEN);
  put("  ", 2);
  put(user->start_time, START_TIME_LEN);
  put(user->stop_time, STOP_TIME_LEN);
  put("  ", 2);
  put(user->print_time, PRINT_TIME_LEN);
  put(user->print_date, PRINT_DATE_LEN);
  p += 4;  // two zero words
  put(user->header, HEADER_LEN);
  put(user->ender, ENDER_LEN);
  m_out->write_binary(block, BLOCK_SIZE);
  return OK;
}

int Cconverter::write_header_binary(Cuser* user) { return write_user_block(FLAG_OF_HEADER, user); }

int Cconverter::write_ender_binary(Cuser* user) { return write_user_block(FLAG_OF_ENDER, user); }

// Each record goes to the output as soon as it is complete, so a bad line
// leaves the block's flag, blank and finished records in the file.
int Cconverter::write_event_block_binary(int64_t& line_counter) {
  static const unsigned char ZEROS[BLOCK_SIZE] = {};
  Cdata_reader* reader = m_reader.get();
  unsigned char head[2 + EVENT_BLOCK_BLANK_LEN] = {};
  put16(head, static_cast<uint16_t>(FLAG_OF_EVENT_BLOCK));
  m_out->write_binary(head, sizeof head);
  uint32_t used = sizeof head;
  uint32_t previous = used;
  uint32_t largest = 0;
  uint32_t records = 0;
  const uint32_t markers = 2 * sizeof(int16_t);
  int result = OK;

  for (;;) {
    // A record is written while the largest record of the block would still
    // fit together with the two closing markers.
    if (used - previous > largest) largest = used - previous;
    previous = used;
    if (largest + used + markers > static_cast<uint32_t>(BLOCK_SIZE)) {
      std::puts("\n goto next event block\n");
      result = OK;
      break;
    }
    const int line = reader->read_in_one_line(m_in);
    if (line == END_OF_FILE) {
      std::printf("\n %lld events converted \n", static_cast<long long>(line_counter));
      result = END_OF_FILE;
      break;
    }
    if (line == COMMENT) continue;
    if (line == ERROR) {
      std::puts("data_reader_flag");
      return ERROR;
    }
    if (line_counter % 100 == 0)
      std::printf("now reading line #%lld\n", static_cast<long long>(line_counter));
    ++line_counter;
    ++records;

    // The record is built where it goes, in the output buffer.
    const int32_t words = reader->get_number_of_word();
    const uint32_t length = EVENT_SIZE + 2 * static_cast<uint32_t>(words);
    auto* record = reinterpret_cast<unsigned char*>(m_out->reserve_output(length));
    put16(record, static_cast<uint16_t>((words + EVENT_SIZE / 2) |
                                        static_cast<uint16_t>(FLAG_OF_EVENT_SIZE)));
    put16(record + 2, static_cast<uint16_t>(FLAG_OF_FID));
    put16(record + 4, static_cast<uint16_t>(records));
    put16(record + 6, static_cast<uint16_t>(words + SEGMENT_SIZE / 2));
    put16(record + 8, 1);
    // Little-endian words, as the machine keeps them. A data line always has
    // WORDS_PER_LINE words; a size known when compiling makes the copy a few
    // moves instead of a call.
    if (words == WORDS_PER_LINE)
      std::memcpy(record + EVENT_SIZE, reader->words(), 2 * WORDS_PER_LINE);
    else
      std::memcpy(record + EVENT_SIZE, reader->words(), 2 * static_cast<size_t>(words));
    m_out->commit_output(reinterpret_cast<char*>(record + length));
    if (m_out->write_failed()) {
      std::puts("write_event_block_binary");
      return ERROR;
    }
    used += length;
  }

  unsigned char end_markers[4];
  put16(end_markers, static_cast<uint16_t>(FLAG_OF_END_OF_EVENT_BLOCK));
  put16(end_markers + 2, static_cast<uint16_t>(FLAG_OF_END_OF_EVENT_BLOCK));
  m_out->write_binary(end_markers, sizeof end_markers);
  used += markers;
  m_out->write_binary(ZEROS, BLOCK_SIZE - used);
  if (m_out->write_failed()) {
    std::puts("write_event_block_binary");
    return ERROR;
  }
  return result;
}

int Cconverter::convert_txt_to_binary() {
  const auto header = std::make_unique<Cheader>();
  read_header_txt(header.get());
  write_header_binary(header.get());
  if (m_out->write_failed()) {
    std::puts("write_header_binary");
    return ERROR;
  }

  int64_t line_counter = 0;
  for (;;) {
    const int result = write_event_block_binary(line_counter);
    if (result == ERROR) {
      std::puts("return_flag");
      return ERROR;
    }
    if (result == END_OF_FILE) break;
  }

  const auto ender = std::make_unique<Cender>();
  read_ender_txt(ender.get());
  write_ender_binary(ender.get());
  if (m_out->write_failed()) {
    std::puts("write_ender_binary");
    return ERROR;
  }
  return OK;
}
