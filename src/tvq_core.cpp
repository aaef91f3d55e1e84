// The core for programs that embed it: the parts of tvq_core.h that are no
// templates.
#include "tvq_core.h"

#include <unistd.h>

#include <algorithm>

#include "global.h"
#include "user_settings.h"

// Each text decoded as the listing decodes it.
Block_texts block_texts(const int16_t* block) {
  Block_texts texts;
  for (size_t i = 0; i < TEXT_FIELD_COUNT; ++i) {
    char text[HEADER_LEN + 1];
    decode_binary_to_string(block, text, TEXT_FIELDS[i].number, TEXT_FIELDS[i].length);
    texts[i] = text;
  }
  return texts;
}

// Each text of a zeroed record ends within it: the record's fields are one
// longer than the block's.
Block_texts user_texts() {
  Cconverter::Cuser user{};
  Cconverter converter;
  converter.read_header_txt(&user);
  Block_texts texts;
  for (size_t i = 0; i < TEXT_FIELD_COUNT; ++i) texts[i] = user.text(i);
  return texts;
}

void set_user_texts(Cconverter::Cuser& user, const Block_texts& texts) {
  for (size_t i = 0; i < TEXT_FIELD_COUNT; ++i) {
    char* text = user.text(i);
    const auto length = static_cast<size_t>(TEXT_FIELDS[i].length);
    std::memset(text, 0, length + 1);
    std::memcpy(text, texts[i].data(), std::min(texts[i].size(), length));
  }
  user.header_length = static_cast<int32_t>(std::strlen(user.header));
  user.ender_length = static_cast<int32_t>(std::strlen(user.ender));
}

// A failed write leaves no file: the file was created by this write.
int close_block_file(Cfile& out, int written, Problem& problem) {
  if (out.close() == OK && written == OK) return OK;
  problem = out.problem();
  ::unlink(out.name().c_str());
  return ERROR;
}

int Cblock_reader::open_file(const std::string& path) {
  Quiet_messages quiet;
  return m_in.fopen_rb(path);
}

int Cblock_reader::open_source(const Input_source& source, const std::string& name) {
  Quiet_messages quiet;
  return m_in.open_source(source, name);
}

int Cblock_reader::seek_event_block(int32_t number) {
  Quiet_messages quiet;
  // Blocks are of one size: event block n is block n of the file.
  if (m_in.seek_block(number) != OK) return ERROR;
  m_converter.start_walk_at(number);
  m_block = nullptr;
  return OK;
}

int Cblock_reader::read_last_ender(bool& found, Block_texts& texts) {
  Quiet_messages quiet;
  found = false;
  const int64_t size = m_in.file_size();
  if (size < 2 * BLOCK_SIZE || size % BLOCK_SIZE != 0) return OK;
  const int16_t* block = nullptr;
  if (m_in.seek_block(size / BLOCK_SIZE - 1) != OK || m_in.take_block(block) == ERROR)
    return ERROR;
  found = block != nullptr && block[0] == FLAG_OF_ENDER;
  if (found) texts = block_texts(block);
  m_block = nullptr;
  return OK;
}

const char* check_value_layout(const std::string& format, uint32_t data_size,
                               Value_layout& layout) {
  const Line_layout line = parse_line_format(format.c_str());
  if (const char* problem = layout_problem(line, data_size)) return problem;
  std::memcpy(layout.kinds, line.kinds, sizeof layout.kinds);
  layout.values = static_cast<uint32_t>(line.conversions);
  layout.data_size = data_size;
  layout.words = layout.values * data_size / 2;
  layout.row_size = VALUES_AT + 4 * size_t{layout.values};
  return nullptr;
}

Problem misfit_problem(const std::string& path, int32_t event_block, uint32_t word, uint32_t count,
                       uint32_t words) {
  return {Problem_kind::DAMAGE, 0, path, event_block, static_cast<int32_t>(word),
          record_place(event_block, word),
          std::to_string(count) + " data words, the layout takes " + std::to_string(words)};
}
