// Cfile: descriptor I/O for the converter. An input is read through one
// buffer that also keeps the last block, so that a block can be served again;
// an output is gathered in one buffer and written in large pieces, every
// write checked.
#include "Cfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "messages.h"
#include "text_format.h"

namespace {

// The input buffer holds the last block besides the next one, so that a
// block can be served again without a copy of its own.
constexpr size_t INPUT_BUFFER_SIZE = 128 * 1024;
static_assert(INPUT_BUFFER_SIZE >= 2 * BLOCK_SIZE, "room for the last block and the next");
constexpr size_t OUTPUT_BUFFER_SIZE = Cfile::OUTPUT_BUFFER_SIZE;
static_assert(OUTPUT_BUFFER_SIZE >= Cfile::OUTPUT_ROOM, "reserved room fits the buffer");
static_assert(DUMP_LINES * DUMP_LINE_LEN <= static_cast<int>(Cfile::OUTPUT_ROOM),
              "a block's dump is formatted in place");
// The interruption check is asked at least this often: often enough that a
// Ctrl-C is seen in a few milliseconds, rarely enough to cost nothing.
constexpr size_t CHECK_EVERY = size_t{4} << 20;
// Bytes of a mapped input at a time: what its reading adds to the memory
// the process is seen to use.
constexpr size_t MAPPED_WINDOW = size_t{8} << 20;
static_assert(MAPPED_WINDOW % BLOCK_SIZE == 0, "windows of whole blocks");
// map_window() : the file was cut short under the last window.
constexpr int WINDOW_CUT = -2;

}  // namespace

Cfile::Cfile()
    : m_fd(-1),
      m_buffer(nullptr),
      m_blocks(nullptr),
      m_begin(0),
      m_end(0),
      m_output(false),
      m_at_end(false),
      m_write_failed(false),
      m_replay(false),
      m_have_last(false),
      m_blocks_read(0),
      m_interrupted(false),
      m_unchecked(0),
      m_read_size(INPUT_BUFFER_SIZE),
      m_position(0),
      m_mapped(false) {}

// Without close() the output is still written, but nothing is reported.
Cfile::~Cfile() {
  if (m_fd >= 0) {
    if (m_output && !m_write_failed) write_all(m_buffer, m_end);
    ::close(m_fd);
  }
  delete[] reinterpret_cast<int16_t*>(m_buffer);
}

// The buffers are allocated before a file is opened, so that a run that
// cannot get its memory leaves no output behind.
int Cfile::open_existing(const std::string& name) {
  m_name = name;
  // Zeroed, so that no byte read ahead of a line is ever undefined; past the
  // data read they hold zeros or older text.
  // Held as words, so that a block can be read where it lies.
  static_assert((INPUT_BUFFER_SIZE + READ_AHEAD) % 2 == 0, "whole words");
  m_buffer = reinterpret_cast<char*>(new int16_t[(INPUT_BUFFER_SIZE + READ_AHEAD) / 2]());
  m_blocks = m_buffer;
  if (m_source.read != nullptr) return OK;
  // A FIFO without a writer blocks the open until a signal interrupts it.
  int fd;
  do fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
  while (fd < 0 && errno == EINTR && !interrupted());
  if (fd < 0) {
    const int error_number = errno;
    fail(m_interrupted ? Problem_kind::INTERRUPTED : Problem_kind::OPEN, error_number,
         "cannot open " + name);
    return ERROR;
  }
  // A directory opens for reading; refuse it here, before any output exists.
  struct stat status {};
  if (fstat(fd, &status) == 0 && S_ISDIR(status.st_mode)) {
    say("%s is a directory\n", name.c_str());
    say("cannot open %s\n", name.c_str());
    m_problem = {Problem_kind::OPEN, EISDIR, name, 0, -1, "",
                 name + " is a directory; cannot open " + name};
    ::close(fd);
    return ERROR;
  }
  m_fd = fd;
  return OK;
}

int Cfile::create_new(const std::string& name) {
  m_name = name;
  m_buffer = reinterpret_cast<char*>(new int16_t[OUTPUT_BUFFER_SIZE / 2]);
  // O_EXCL makes the existence test and the creation one step: nothing that
  // exists under the name (file, symbolic link, FIFO, device) is opened.
  int fd;
  do fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  while (fd < 0 && errno == EINTR && !interrupted());
  if (fd < 0) {
    const int error_number = errno;
    if (error_number == EEXIST && !m_interrupted)
      fail(Problem_kind::EXISTS, error_number, "all ready exist " + name);
    else
      fail(m_interrupted ? Problem_kind::INTERRUPTED : Problem_kind::OPEN, error_number,
           "cannot open " + name);
    return ERROR;
  }
  m_fd = fd;
  m_output = true;
  return OK;
}

// fail() : the problem kept and its reason said as a line.
void Cfile::fail(Problem_kind kind, int error_number, std::string reason) {
  m_problem = {kind, error_number, m_name, 0, -1, "", std::move(reason)};
  say_line(m_problem.reason.c_str());
}

int Cfile::fopen_rb(std::string name) { return open_existing(name); }
int Cfile::fopen_r(std::string name) { return open_existing(name); }
int Cfile::fopen_wb(std::string name) { return create_new(name); }
int Cfile::fopen_w(std::string name) { return create_new(name); }

int Cfile::open_source(const Input_source& source, std::string name) {
  m_source = source;
  return open_existing(name);
}

void Cfile::map_input() {
  struct stat status {};
  m_mapped = m_fd >= 0 && !m_output && m_source.read == nullptr && m_end == 0 &&
             fstat(m_fd, &status) == 0 && S_ISREG(status.st_mode);
}

int Cfile::seek_block(int64_t index) {
  const long long offset = index * BLOCK_SIZE;
  const long long at = m_source.read != nullptr
                           ? (m_source.seek != nullptr ? m_source.seek(m_source.context, offset,
                                                                       SEEK_SET)
                                                       : (errno = ESPIPE, -1))
                           : ::lseek(m_fd, offset, SEEK_SET);
  if (at != offset) {
    const int error_number = at < 0 ? errno : EIO;
    fail(Problem_kind::READ, error_number,
         "cannot move to block " + std::to_string(index) + " of " + m_name + ": " +
             std::strerror(error_number));
    return ERROR;
  }
  m_begin = m_end = 0;
  m_at_end = m_replay = m_have_last = false;
  m_blocks_read = index;
  m_position = offset;
  return OK;
}

// interrupted() : what the check says, asked now; errno is left as it was.
bool Cfile::interrupted() {
  m_unchecked = 0;
  const int error_number = errno;
  if (m_check.interrupted != nullptr && m_check.interrupted(m_check.context)) m_interrupted = true;
  errno = error_number;
  return m_interrupted;
}

long long Cfile::read_input(char* buffer, size_t size) {
  return m_source.read != nullptr ? m_source.read(m_source.context, buffer, size)
                                  : ::read(m_fd, buffer, size);
}

// fill_input() : appends what one read gives to the input buffer; the byte
// count, 0 at end of file (which stays so), or -1 with errno set.
int Cfile::fill_input() {
  if (m_at_end) return 0;
  for (;;) {
    const long long got =
        read_input(m_buffer + m_end, std::min(INPUT_BUFFER_SIZE - m_end, m_read_size));
    if (got > 0) {
      m_end += static_cast<size_t>(got);
      m_position += got;
      m_unchecked += static_cast<size_t>(got);
      if (m_unchecked >= CHECK_EVERY && interrupted()) {
        errno = EINTR;
        return -1;
      }
      return static_cast<int>(got);
    }
    if (got == 0) {
      m_at_end = true;
      return 0;
    }
    if (errno != EINTR || interrupted()) return -1;
  }
}

// fill_block() : a whole block readable at m_begin, or the end of the input
// or a read error reported as read_one_block() reports them.
int Cfile::fill_block() {
  if (m_end - m_begin >= static_cast<size_t>(BLOCK_SIZE)) return OK;
  m_have_last = false;  // the last block is moved away
  const long long index = m_blocks_read;
  int got = m_mapped ? map_window() : 1;
  if (got == WINDOW_CUT) return ERROR;
  if (!m_mapped) {
    std::memmove(m_buffer, m_blocks + m_begin, m_end - m_begin);
    m_blocks = m_buffer;
    m_end -= m_begin;
    m_begin = 0;
    while (m_end < static_cast<size_t>(BLOCK_SIZE) && (got = fill_input()) > 0) {
    }
  }
  if (got < 0) {
    const int error_number = errno;
    fail(m_interrupted ? Problem_kind::INTERRUPTED : Problem_kind::READ, error_number,
         "cannot read block " + std::to_string(index) + " of " + m_name + ": " +
             std::strerror(error_number));
    return ERROR;
  }
  if (m_end < static_cast<size_t>(BLOCK_SIZE)) {
    say_line("end of file");
    if (m_end == 0) return END_OF_FILE;
    fail(Problem_kind::DAMAGE, 0,
         "block " + std::to_string(index) + " of " + m_name + " is incomplete: " +
             std::to_string(m_end) + " of " + std::to_string(BLOCK_SIZE) + " bytes");
    return ERROR;
  }
  return OK;
}

// map_window() : the input from its first byte not taken on, mapped in
// place of the buffer: 1 with bytes to take, 0 at the end of the file, -1
// with errno set, or WINDOW_CUT after the failure is said. From where the
// file cannot be mapped, it is read.
int Cfile::map_window() {
  if (m_window.cut()) {
    fail(Problem_kind::READ, EIO, m_name + " was cut short while it was read");
    return WINDOW_CUT;
  }
  if (m_at_end) return 0;
  const int64_t offset = m_position - static_cast<int64_t>(m_end - m_begin);
  m_window.unmap();
  m_blocks = m_buffer;
  m_begin = m_end = 0;
  m_position = offset;
  struct stat status {};
  if (fstat(m_fd, &status) != 0) return -1;
  if (status.st_size <= offset) {
    m_at_end = true;
    return 0;
  }
  const auto length = static_cast<size_t>(
      std::min(static_cast<int64_t>(MAPPED_WINDOW), static_cast<int64_t>(status.st_size) - offset));
  if (!m_window.map(m_fd, offset, length)) {
    m_mapped = false;
    return ::lseek(m_fd, offset, SEEK_SET) == offset ? 1 : -1;
  }
  m_blocks = m_window.data();
  m_end = length;
  m_position = offset + static_cast<int64_t>(length);
  m_unchecked += length;
  if (m_unchecked >= CHECK_EVERY && interrupted()) {
    errno = EINTR;
    return -1;
  }
  return 1;
}

int Cfile::read_one_block(int16_t* block) {
  const int16_t* taken = nullptr;
  const int result = take_block(taken);
  if (result == OK) std::memcpy(block, taken, BLOCK_SIZE);
  return result;
}

int Cfile::take_block(const int16_t*& block) {
  if (m_replay) {
    block = reinterpret_cast<const int16_t*>(m_blocks + m_begin);
    m_begin += BLOCK_SIZE;
    m_replay = false;
    return OK;
  }
  m_have_last = false;
  const int result = fill_block();
  if (result != OK) return result;
  // Blocks start at whole multiples of BLOCK_SIZE in the buffer of words,
  // or in a window, which starts at a page.
  block = reinterpret_cast<const int16_t*>(m_blocks + m_begin);
  m_begin += BLOCK_SIZE;
  m_have_last = true;
  ++m_blocks_read;
  return OK;
}

int Cfile::peek_block_flag(int16_t& flag) {
  if (!m_replay) {
    const int result = fill_block();
    if (result != OK) return result;
  }
  std::memcpy(&flag, m_blocks + m_begin, sizeof flag);
  return OK;
}

int Cfile::seek_back_one_block() {
  if (!m_have_last || m_replay) {
    say("cannot step back one block in %s\n", m_name.c_str());
    return ERROR;
  }
  m_begin -= BLOCK_SIZE;
  m_replay = true;
  return OK;
}

int Cfile::read_line(char* buffer, uint32_t size) {
  if (size == 0) return END_OF_FILE;
  const size_t most = size - 1;
  size_t length = 0;
  while (length < most) {
    if (m_begin == m_end) {
      m_begin = m_end = 0;
      const int got = fill_input();
      if (got < 0) {
        const int error_number = errno;
        fail(m_interrupted ? Problem_kind::INTERRUPTED : Problem_kind::READ, error_number,
             "cannot read " + m_name + ": " + std::strerror(error_number));
        return READ_FAILED;
      }
      if (got == 0) break;
    }
    const char* from = m_buffer + m_begin;
    const size_t available = std::min(m_end - m_begin, most - length);
    const auto* newline = static_cast<const char*>(std::memchr(from, '\n', available));
    const size_t piece = newline != nullptr ? static_cast<size_t>(newline - from) + 1 : available;
    std::memcpy(buffer + length, from, piece);
    length += piece;
    m_begin += piece;
    if (newline != nullptr) break;
  }
  if (length == 0 && most > 0) return END_OF_FILE;
  buffer[length] = '\0';
  return OK;
}

void Cfile::report_write_failure(int error_number) {
  if (m_write_failed) return;
  m_write_failed = true;
  fail(m_interrupted ? Problem_kind::INTERRUPTED : Problem_kind::WRITE, error_number,
       "cannot write " + m_name + ": " + std::strerror(error_number));
}

// write_all() : writes every byte, through short writes and interruptions;
// 0, or the errno of the write that failed. A write that takes none of the
// bytes would make no progress if tried again: it fails as on a full disk
// (ENOSPC), as coreutils' full_write takes it.
int Cfile::write_all(const char* data, size_t length) {
  while (length > 0) {
    const ssize_t done = ::write(m_fd, data, length);
    if (done == 0) return ENOSPC;
    if (done > 0) {
      data += done;
      length -= static_cast<size_t>(done);
      m_unchecked += static_cast<size_t>(done);
      if (m_unchecked >= CHECK_EVERY && interrupted()) return EINTR;
    } else if (errno != EINTR || interrupted()) {
      return errno;
    }
  }
  return 0;
}

// A failure is remembered and the rest of the output dropped.
void Cfile::flush_output() {
  if (!m_write_failed) {
    const int error_number = write_all(m_buffer, m_end);
    if (error_number != 0) report_write_failure(error_number);
  }
  m_end = 0;
}

int Cfile::write_binary(const void* data, size_t length) {
  if (m_write_failed) return ERROR;
  const auto* bytes = static_cast<const char*>(data);
  if (OUTPUT_BUFFER_SIZE - m_end < length) {
    flush_output();
    if (length >= OUTPUT_BUFFER_SIZE) {
      const int error_number = m_write_failed ? 0 : write_all(bytes, length);
      if (error_number != 0) report_write_failure(error_number);
      return m_write_failed ? ERROR : OK;
    }
  }
  std::memcpy(m_buffer + m_end, bytes, length);
  m_end += length;
  return m_write_failed ? ERROR : OK;
}

int Cfile::write_word(char c) { return write_binary(&c, 1); }

int Cfile::write_word(const char* text) { return write_binary(text, std::strlen(text)); }

int Cfile::write_word(std::string text) { return write_word(text.c_str()); }

int Cfile::write_word(int32_t value) {
  char text[16];
  const int length = std::snprintf(text, sizeof text, "%d", value);
  return write_binary(text, static_cast<size_t>(length));
}

int Cfile::write_one_block(const int16_t* block) {
  char* text = reserve_output(DUMP_LINES * DUMP_LINE_LEN);
  commit_output(format_dump_lines(block, DUMP_LINES, text));
  return m_write_failed ? ERROR : OK;
}

int64_t Cfile::file_size() const {
  if (m_source.read != nullptr) {
    if (m_source.seek == nullptr) return 0;
    const long long end = m_source.seek(m_source.context, 0, SEEK_END);
    if (m_source.seek(m_source.context, m_position, SEEK_SET) != m_position) return 0;
    return end < 0 ? 0 : end;
  }
  struct stat status {};
  if (m_fd < 0 || fstat(m_fd, &status) != 0 || !S_ISREG(status.st_mode)) return 0;
  return status.st_size;
}

int Cfile::close() {
  if (m_fd >= 0) {
    if (m_output) flush_output();
    m_window.unmap();
    const int result = ::close(m_fd);
    const int error_number = errno;
    m_fd = -1;
    delete[] reinterpret_cast<int16_t*>(m_buffer);
    m_buffer = nullptr;
    if (result != 0 && m_output) report_write_failure(error_number);
  }
  return m_write_failed ? ERROR : OK;
}
