// Cfile: the one way the converter touches a file. Every read, write and close
// is checked here; a failed write is remembered (write_failed) so that the
// conversions can stop and the driver never reports success after it.
#ifndef CFILE_H
#define CFILE_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "tvq_constants.h"

class Cfile {
 public:
  Cfile();
  ~Cfile();
  Cfile(const Cfile&) = delete;
  Cfile& operator=(const Cfile&) = delete;

  // Reading modes open an existing file; a directory is refused.
  int fopen_rb(std::string name);
  int fopen_r(std::string name);
  // Writing modes create a new file and never touch anything that exists
  // under the name: "all ready exist" and ERROR.
  int fopen_wb(std::string name);
  int fopen_w(std::string name);

  // read_one_block() : OK with a whole block in block; END_OF_FILE when the
  // input ends cleanly before the block; ERROR for a partial block or a read
  // error. Words of block are valid only after OK.
  int read_one_block(int16_t* block);
  // seek_back_one_block() : the next read_one_block serves the last block
  // again. Works on pipes too: the last block is kept, the stream never moves.
  int seek_back_one_block();
  // read_line() : fgets semantics; OK or END_OF_FILE. A read error is fatal
  // ("fgets error", exit status 1).
  int read_line(char* buffer, uint32_t size);

  int write_binary(const void* data, size_t length);
  // One value in little-endian order: uint16_t, int16_t or char.
  template <typename T>
  int write_binary(T value) {
    unsigned char bytes[sizeof(T)];
    auto bits = static_cast<uint64_t>(value);
    for (size_t i = 0; i < sizeof(T); ++i) bytes[i] = static_cast<unsigned char>(bits >> (8 * i));
    return write_binary(bytes, sizeof(T));
  }

  int write_word(char c);
  int write_word(const char* text);
  int write_word(std::string text);
  int write_word(int32_t value);

  // write_one_block() : the block as 1024 lines of eight "%04x " groups.
  static constexpr size_t DUMP_TEXT_SIZE = WORDS_PER_BLOCK / 8 * (8 * 5 + 1);
  int write_one_block(const int16_t* block);

  // close() : flushes and closes; ERROR (after a message) if any write of
  // this file failed, now or before.
  int close();
  bool write_failed() const { return m_write_failed; }
  const std::string& name() const { return m_name; }
  // Whole blocks taken from the stream so far (replays not counted).
  int64_t blocks_read() const { return m_blocks_read; }

 private:
  int open_existing(const std::string& name, const char* mode);
  int create_new(const std::string& name, const char* mode);
  void report_write_failure(int error_number);
  void allocate_buffer(size_t size);

  FILE* m_fp;
  char* m_buffer;  // the stream's buffer, released after the stream is closed
  size_t m_buffer_size;
  std::string m_name;
  bool m_write_failed;
  bool m_replay;         // the next read_one_block serves m_last_block
  bool m_have_last;      // m_last_block holds a whole block
  int64_t m_blocks_read;
  int16_t m_last_block[WORDS_PER_BLOCK];
  char m_dump_text[DUMP_TEXT_SIZE];  // one block's dump, kept off the stack
};

#endif
