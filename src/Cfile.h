// Cfile: the one way the converter touches a file. Every open, read, write and
// close is checked here; a failure is said and kept as a problem (problem()),
// and a failed write is remembered (write_failed) so that the conversions can
// stop and the driver never reports success after it.
#ifndef CFILE_H
#define CFILE_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "mapped_window.h"
#include "problem.h"
#include "tvq_constants.h"

// An input that a program embedding the core feeds itself: read() gives
// bytes as ::read does (0 at the end, -1 with errno set); seek() moves to an
// offset from the start (whence SEEK_SET) or the end (SEEK_END) and gives the
// new offset, or -1 where the input cannot move; null for an input that
// cannot.
struct Input_source {
  void* context = nullptr;
  long long (*read)(void* context, char* buffer, size_t size) = nullptr;
  long long (*seek)(void* context, long long offset, int whence) = nullptr;
};

// How a program embedding the core stops a long read or write (Ctrl-C):
// asked when a call is interrupted (EINTR) and every few MiB; true stops the
// open, read or write as a failure of kind INTERRUPTED.
struct Interrupt_check {
  void* context = nullptr;
  bool (*interrupted)(void* context) = nullptr;
};

class Cfile {
 public:
  Cfile();
  ~Cfile();
  Cfile(const Cfile&) = delete;
  Cfile& operator=(const Cfile&) = delete;

  // Reading modes open an existing file; a directory is refused (EISDIR).
  int fopen_rb(std::string name);
  int fopen_r(std::string name);
  // Writing modes create a new file and never touch anything that exists
  // under the name: "all ready exist" and ERROR.
  int fopen_wb(std::string name);
  int fopen_w(std::string name);
  // open_source() : an input fed by source, named name in messages.
  int open_source(const Input_source& source, std::string name);
  void set_interrupt_check(const Interrupt_check& check) { m_check = check; }
  // map_input() : a regular file opened for reading has its blocks read
  // from here on where the file lies in memory, a window of it mapped at a
  // time, instead of copied: no lines are read from it then. A file that
  // cannot be mapped is read as before; one cut short while it is read
  // fails to read (READ).
  void map_input();
  // read_blocks_singly() : each read of the input asks for one block at
  // most, so that a caller that wants only some blocks reads no more.
  void read_blocks_singly() { m_read_size = BLOCK_SIZE; }
  // seek_block() : the next block read is block index of the file (from 0);
  // OK, or ERROR (READ) for an input that cannot move.
  int seek_block(int64_t index);

  // read_one_block() : OK with a whole block in block; END_OF_FILE when the
  // input ends cleanly before the block; ERROR for a partial block (DAMAGE)
  // or a read error (READ). Words of block are valid only after OK.
  int read_one_block(int16_t* block);
  // take_block() : read_one_block() without a copy: block points at the
  // block in the input buffer, valid until the next read of this file.
  int take_block(const int16_t*& block);
  // peek_block_flag() : word 0 of the block read_one_block() would give next,
  // which stays there to be read; OK, or what read_one_block() would report
  // (with its messages). The same as reading the block and stepping back,
  // without copying it twice.
  int peek_block_flag(int16_t& flag);
  // seek_back_one_block() : the next read_one_block serves the last block
  // again. Works on pipes too: the last block is kept, the stream never moves.
  int seek_back_one_block();
  // read_line() : fgets semantics (at most size - 1 characters, up to and
  // with the newline; NUL bytes are kept); OK or END_OF_FILE, or READ_FAILED
  // after a message naming the error: the run then ends with "fgets error".
  int read_line(char* buffer, uint32_t size);
  // peek_input() : the bytes read and not yet taken, in place, and how many
  // there are; READ_AHEAD bytes after them can be read (they need not belong
  // to the input). Nothing is taken until take_line() with a length that
  // ends a line among them.
  static constexpr size_t READ_AHEAD = 64;
  const char* peek_input(size_t& available) const {
    available = m_end - m_begin;
    return m_buffer + m_begin;
  }
  void take_line(size_t length) { m_begin += length; }

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
  int write_one_block(const int16_t* block);

  // reserve_output() : room for length bytes (at most OUTPUT_ROOM) at the end
  // of the output buffer, for a writer that formats in place; commit_output()
  // with the end of what it put there. After a write failure the text is
  // dropped, so a writer need not check in its loop.
  static constexpr size_t OUTPUT_ROOM = 64 * 1024;
  static constexpr size_t OUTPUT_BUFFER_SIZE = 256 * 1024;
  char* reserve_output(size_t length) {
    if (m_write_failed) m_end = 0;
    if (OUTPUT_BUFFER_SIZE - m_end < length) flush_output();
    return m_buffer + m_end;
  }
  void commit_output(const char* end) {
    m_end = static_cast<size_t>(end - m_buffer);
    if (m_write_failed) m_end = 0;
  }


  // close() : flushes and closes; ERROR (after a message) if any write of
  // this file failed, now or before.
  int close();
  bool write_failed() const { return m_write_failed; }
  // problem() : what the last failure was; of an output, its first failed
  // write or close.
  const Problem& problem() const { return m_problem; }
  // file_size() : the bytes of an open regular file or of a source that can
  // move, 0 for anything else.
  int64_t file_size() const;
  const std::string& name() const { return m_name; }
  // Whole blocks taken from the stream so far (replays not counted).
  int64_t blocks_read() const { return m_blocks_read; }

 private:
  int open_existing(const std::string& name);
  int create_new(const std::string& name);
  void fail(Problem_kind kind, int error_number, std::string reason);
  void report_write_failure(int error_number);
  long long read_input(char* buffer, size_t size);
  bool interrupted();
  int fill_input();
  int fill_block();
  int map_window();
  void flush_output();
  int write_all(const char* data, size_t length);

  int m_fd;
  // Input: bytes m_begin to m_end of m_blocks (m_buffer, or the mapped
  // window) are read and not yet taken. Output: the first m_end bytes of
  // m_buffer wait to be written.
  char* m_buffer;
  const char* m_blocks;
  size_t m_begin;
  size_t m_end;
  std::string m_name;
  bool m_output;
  bool m_at_end;         // the input gave end of file; it is not read again
  bool m_write_failed;
  bool m_replay;         // the last block is kept just before m_begin
  bool m_have_last;
  int64_t m_blocks_read;
  Problem m_problem;
  Input_source m_source;
  Interrupt_check m_check;
  bool m_interrupted;     // the check said stop: the failure is of kind INTERRUPTED
  size_t m_unchecked;     // bytes read or written since the check was last asked
  size_t m_read_size;     // bytes a read of the input asks for at most
  int64_t m_position;     // of the input, in bytes from its start
  bool m_mapped;          // blocks are read from m_window
  Mapped_window m_window;
};

#endif
