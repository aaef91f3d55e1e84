// The walk over a block file, block by block, with the checks of each block's
// type and the messages for a file that ends too soon.
#include "block_walk.h"

#include <cstring>

#include "messages.h"
#include "tvq_constants.h"

namespace {

void report_missing_block(const char* what, const Cfile* in) {
  if (in->blocks_read() == 0)
    say("no %s block: %s is empty\n", what, in->name().c_str());
  else
    say("no %s block: %s ends after %lld blocks\n", what, in->name().c_str(),
        static_cast<long long>(in->blocks_read()));
}

}  // namespace

int read_typed_block(const int16_t*& block, Cfile* in, int16_t flag, const char* type,
                     const char* wrong_type) {
  block = nullptr;
  const int result = in->take_block(block);
  if (result == END_OF_FILE) report_missing_block(type, in);
  if (result != OK) return ERROR;
  if (block[0] != flag) {
    say_line(wrong_type);
    return ERROR;
  }
  return OK;
}

int Cblock_walk::next_block(int16_t* block) {
  const int16_t* taken = nullptr;
  const int kind = next_block(taken);
  if (taken != nullptr) std::memcpy(block, taken, BLOCK_SIZE);
  return kind;
}

int Cblock_walk::next_block(const int16_t*& block) {
  block = nullptr;
  if (m_next == HEADER_BLOCK) {
    if (read_typed_block(block, m_in, FLAG_OF_HEADER, "header", "this block is not header") ==
        ERROR) {
      m_next = WALK_END;
      say_step("read_heaader_binary");
      return ERROR;
    }
    m_next = EVENT_BLOCK;
    return HEADER_BLOCK;
  }
  if (m_next == WALK_END) return WALK_END;

  int16_t flag = 0;
  const int peeked = m_in->peek_block_flag(flag);
  if (peeked != OK) {
    m_next = WALK_END;
    if (peeked == END_OF_FILE) report_missing_block("ender", m_in);
    say_step("read_one_block");
    return ERROR;
  }
  if (flag == FLAG_OF_ENDER) {
    m_next = WALK_END;
    if (read_typed_block(block, m_in, FLAG_OF_ENDER, "ender", "this block is not ender") ==
        ERROR) {
      say_step("read_ender_binary");
      return ERROR;
    }
    return ENDER_BLOCK;
  }
  if (read_typed_block(block, m_in, FLAG_OF_EVENT_BLOCK, "event",
                       "this block is not event block") == ERROR) {
    m_next = WALK_END;
    say_step("read_event_block_binary");
    return ERROR;
  }
  ++m_event_blocks;
  return EVENT_BLOCK;
}
