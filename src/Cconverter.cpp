// Cconverter: the three conversions. -b2rb and -b2t write what the block walk
// gives, as a hexadecimal dump or as a text listing; -t2b writes a header
// block, the event blocks packed from the data lines, and an ender block.
#include "Cconverter.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "Cdata_reader.h"
#include "event_records.h"
#include "global.h"
#include "messages.h"
#include "text_format.h"
#include "user_settings.h"

namespace {

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

// The data lines of -t2b as the records of the event block writer.
struct Line_records {
  Cdata_reader* reader;
  Cfile* in;
  int next_record() { return reader->read_in_one_line(in); }
  int32_t get_number_of_word() const { return reader->get_number_of_word(); }
  const data_t* words() const { return reader->words(); }
};

}  // namespace

Cconverter::Cconverter()
    : m_in(nullptr),
      m_out(nullptr),
      m_next_block(HEADER_BLOCK),
      m_event_blocks(0),
      m_reader(std::make_unique<Cdata_reader>()) {}

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
  say_line("Cconverter::set_file mode is wrong");
  return ERROR;
}

// ---------------------------------------------------------------- block walk

// report_untaken_block() : a block of type that in could not give (result
// END_OF_FILE or ERROR), kept as the problem. A failed read was said by in;
// event_block is the number the block would have had.
void Cconverter::report_untaken_block(int result, const char* type, const Cfile* in,
                                      int32_t event_block) {
  if (result == ERROR) {
    m_problem = in->problem();
    m_problem.event_block = event_block;
    return;
  }
  const std::string reason =
      "no " + std::string(type) + " block: " + in->name() +
      (in->blocks_read() == 0 ? " is empty"
                              : " ends after " + std::to_string(in->blocks_read()) + " blocks");
  m_problem = {Problem_kind::DAMAGE, 0, in->name(), 0, -1, "", reason};
  say_line(reason.c_str());
}

// read_typed_block() : a typed reader, for the event block number the block
// would have (0 for the header and the ender).
int Cconverter::read_typed_block(const int16_t*& block, Cfile* in, int16_t flag,
                                 const char* type, const char* wrong_type, int32_t event_block) {
  block = nullptr;
  const int result = in->take_block(block);
  if (result != OK) {
    report_untaken_block(result, type, in, event_block);
    return ERROR;
  }
  if (block[0] != flag) {
    const std::string place = event_block != 0
                                  ? "event block " + std::to_string(event_block)
                                  : "block " + std::to_string(in->blocks_read() - 1);
    m_problem = {Problem_kind::DAMAGE, 0, in->name(), event_block, 0, place + ", word 0",
                 wrong_type};
    say_line(wrong_type);
    return ERROR;
  }
  return OK;
}

int Cconverter::read_header_binary(const int16_t*& block, Cfile* in) {
  return read_typed_block(block, in, FLAG_OF_HEADER, "header", "this block is not header", 0);
}

int Cconverter::read_event_block_binary(const int16_t*& block, Cfile* in) {
  return read_typed_block(block, in, FLAG_OF_EVENT_BLOCK, "event",
                          "this block is not event block", m_event_blocks + 1);
}

int Cconverter::read_ender_binary(const int16_t*& block, Cfile* in) {
  return read_typed_block(block, in, FLAG_OF_ENDER, "ender", "this block is not ender", 0);
}

int Cconverter::next_block(const int16_t*& block) {
  block = nullptr;
  if (m_next_block == HEADER_BLOCK) {
    if (read_header_binary(block, m_in) == ERROR) {
      m_next_block = WALK_END;
      say_step("read_heaader_binary");
      return ERROR;
    }
    m_next_block = EVENT_BLOCK;
    return HEADER_BLOCK;
  }
  if (m_next_block == WALK_END) return WALK_END;

  int16_t flag = 0;
  const int peeked = m_in->peek_block_flag(flag);
  if (peeked != OK) {
    m_next_block = WALK_END;
    report_untaken_block(peeked, "ender", m_in, m_event_blocks + 1);
    say_step("read_one_block");
    return ERROR;
  }
  if (flag == FLAG_OF_ENDER) {
    m_next_block = WALK_END;
    if (read_ender_binary(block, m_in) == ERROR) {
      say_step("read_ender_binary");
      return ERROR;
    }
    return ENDER_BLOCK;
  }
  if (read_event_block_binary(block, m_in) == ERROR) {
    m_next_block = WALK_END;
    say_step("read_event_block_binary");
    return ERROR;
  }
  ++m_event_blocks;
  return EVENT_BLOCK;
}

// The walk of -b2rb and -b2t: each block the walk gives goes to the writer
// of its type. A writer whose output failed ends the walk under its name.
int Cconverter::walk_blocks(const Block_writers& writers) {
  const int16_t* block = nullptr;
  for (;;) {
    const char* failed_writer = nullptr;
    switch (next_block(block)) {
      case HEADER_BLOCK:
        m_out->write_word('\n');
        (this->*writers.header)(block, m_out);
        failed_writer = writers.header_name;
        break;
      case EVENT_BLOCK:
        (this->*writers.event_block)(block, m_event_blocks, m_out);
        failed_writer = writers.event_block_name;
        break;
      case ENDER_BLOCK:
        (this->*writers.ender)(block, m_out);
        failed_writer = writers.ender_name;
        break;
      case WALK_END:
        return OK;
      default:
        return ERROR;
    }
    if (m_out->write_failed()) {
      say_step(failed_writer);
      return ERROR;
    }
  }
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
  out->write_word(banner);
  for (const auto& field : TEXT_FIELDS) {
    char text[HEADER_LEN + 1];
    decode_binary_to_string(block, text, field.number, field.length);
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

// One line per record: event id, segment id and data words, "%4d " each. A
// record cut by the block's end has the words inside listed, without a
// newline; so has the event id of an inconsistent record.
int Cconverter::write_event_block_txt(const int16_t* block, int32_t number, Cfile* out) {
  const uint64_t* const decimal = decimal_table();
  char* const text = out->reserve_output(LISTING_MAX);
  char* p = put_text(text, "#  ");
  p += std::snprintf(p, 16, "%d", number);
  p = put_text(p, " event block\n\n");
  uint32_t position = EVENT_SIZE_NUM;
  const int result = walk_event_records(
      block, number, position,
      [&](const Event_record& record) {
        p = put_word(p, decimal, record.event_id);
        const int16_t* word = record.words;
#pragma GCC unroll 4
        for (uint32_t i = 0; i < record.listed; ++i)
          p = put_word(p, decimal, static_cast<uint16_t>(word[i]));
        if (record.whole) *p++ = '\n';
        return true;
      },
      m_problem);
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

char* Cconverter::Cuser::text(size_t field) {
  char* const texts[] = {run_number, start_time, stop_time, print_time, print_date, header, ender};
  static_assert(sizeof texts / sizeof texts[0] == TEXT_FIELD_COUNT, "a text for every field");
  return texts[field];
}

// Header and ender blocks share one layout; only word 0 differs.
int Cconverter::write_user_block(int16_t flag, const Cuser* user) {
  auto* block = reinterpret_cast<unsigned char*>(m_block);
  std::memset(block, 0, BLOCK_SIZE);
  put_word16(block, static_cast<uint16_t>(flag));
  for (size_t i = 0; i < TEXT_FIELD_COUNT; ++i)
    std::memcpy(block + 2 * TEXT_FIELDS[i].number, user->text(i),
                static_cast<size_t>(TEXT_FIELDS[i].length));
  for (const int32_t spaces : TEXT_SPACES_NUM)
    std::memcpy(block + 2 * spaces, "  ", TEXT_SPACES_LEN);
  m_out->write_binary(block, BLOCK_SIZE);
  return OK;
}

int Cconverter::write_header_binary(Cuser* user) { return write_user_block(FLAG_OF_HEADER, user); }

int Cconverter::write_ender_binary(Cuser* user) { return write_user_block(FLAG_OF_ENDER, user); }

int Cconverter::write_event_block_binary(int64_t& line_counter) {
  Line_records lines{m_reader.get(), m_in};
  return write_event_block(lines, line_counter);
}

int Cconverter::convert_txt_to_binary() {
  const auto header = std::make_unique<Cheader>();
  const auto ender = std::make_unique<Cender>();
  read_header_txt(header.get());
  read_ender_txt(ender.get());
  Line_records lines{m_reader.get(), m_in};
  return write_binary_file(lines, header.get(), ender.get());
}
