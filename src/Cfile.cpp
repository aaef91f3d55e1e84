#include "Cfile.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t INPUT_BUFFER_SIZE = 64 * 1024;
constexpr size_t OUTPUT_BUFFER_SIZE = 256 * 1024;

constexpr int DUMP_WORDS_PER_LINE = 8;
constexpr int DUMP_LINE_LEN = DUMP_WORDS_PER_LINE * 5 + 1;  // "xxxx " x8 and '\n'
constexpr int DUMP_LINES = WORDS_PER_BLOCK / DUMP_WORDS_PER_LINE;
static_assert(static_cast<size_t>(DUMP_LINES * DUMP_LINE_LEN) == Cfile::DUMP_TEXT_SIZE,
              "the dump text of one block");

// Two lower-case hexadecimal digits per byte value.
struct Hex_pairs {
  char digits[256][2];
  constexpr Hex_pairs() : digits() {
    const char* hex = "0123456789abcdef";
    for (int i = 0; i < 256; ++i) {
      digits[i][0] = hex[i >> 4];
      digits[i][1] = hex[i & 15];
    }
  }
};
constexpr Hex_pairs HEX_PAIRS;

}  // namespace

Cfile::Cfile()
    : m_fp(nullptr),
      m_buffer(nullptr),
      m_buffer_size(0),
      m_write_failed(false),
      m_replay(false),
      m_have_last(false),
      m_blocks_read(0),
      m_last_block() {}

Cfile::~Cfile() {
  if (m_fp != nullptr) std::fclose(m_fp);
  delete[] m_buffer;
}

// stdio sizes its own buffers by the file system's block size; a larger one
// given here cuts the number of system calls on large files. It is allocated
// before the file is opened, so that a run that cannot get its memory leaves
// no output behind.
void Cfile::allocate_buffer(size_t size) {
  m_buffer = new char[size];
  m_buffer_size = size;
}

int Cfile::open_existing(const std::string& name, const char* mode) {
  m_name = name;
  allocate_buffer(INPUT_BUFFER_SIZE);
  m_fp = std::fopen(name.c_str(), mode);
  if (m_fp == nullptr) {
    std::printf("cannot open %s\n", name.c_str());
    return ERROR;
  }
  // stdio opens a directory for reading; refuse it here, before any output exists.
  struct stat status {};
  if (fstat(fileno(m_fp), &status) == 0 && S_ISDIR(status.st_mode)) {
    std::printf("%s is a directory\n", name.c_str());
    std::printf("cannot open %s\n", name.c_str());
    std::fclose(m_fp);
    m_fp = nullptr;
    return ERROR;
  }
  std::setvbuf(m_fp, m_buffer, _IOFBF, m_buffer_size);
  return OK;
}

int Cfile::create_new(const std::string& name, const char* mode) {
  m_name = name;
  allocate_buffer(OUTPUT_BUFFER_SIZE);
  // "x" (O_EXCL) makes the existence test and the creation one step: nothing
  // that exists under the name (file, symbolic link, FIFO, device) is opened.
  // fopen takes its own memory before it creates the file.
  m_fp = std::fopen(name.c_str(), mode);
  if (m_fp == nullptr) {
    if (errno == EEXIST)
      std::printf("all ready exist %s\n", name.c_str());
    else
      std::printf("cannot open %s\n", name.c_str());
    return ERROR;
  }
  std::setvbuf(m_fp, m_buffer, _IOFBF, m_buffer_size);
  return OK;
}

int Cfile::fopen_rb(std::string name) { return open_existing(name, "rb"); }
int Cfile::fopen_r(std::string name) { return open_existing(name, "r"); }
int Cfile::fopen_wb(std::string name) { return create_new(name, "wbxe"); }
int Cfile::fopen_w(std::string name) { return create_new(name, "wxe"); }

int Cfile::read_one_block(int16_t* block) {
  if (m_replay) {
    std::memcpy(block, m_last_block, BLOCK_SIZE);
    m_replay = false;
    return OK;
  }
  const long long index = m_blocks_read;
  const size_t got = std::fread(block, 1, BLOCK_SIZE, m_fp);
  if (got == static_cast<size_t>(BLOCK_SIZE)) {
    std::memcpy(m_last_block, block, BLOCK_SIZE);
    m_have_last = true;
    ++m_blocks_read;
    return OK;
  }
  m_have_last = false;
  if (std::ferror(m_fp)) {
    std::printf("cannot read block %lld of %s: %s\n", index, m_name.c_str(), std::strerror(errno));
    return ERROR;
  }
  std::puts("end of file");
  if (got == 0) return END_OF_FILE;
  std::printf("block %lld of %s is incomplete: %zu of %d bytes\n", index, m_name.c_str(), got,
              BLOCK_SIZE);
  return ERROR;
}

int Cfile::seek_back_one_block() {
  if (!m_have_last || m_replay) {
    std::printf("cannot step back one block in %s\n", m_name.c_str());
    return ERROR;
  }
  m_replay = true;
  return OK;
}

int Cfile::read_line(char* buffer, uint32_t size) {
  if (fgets_unlocked(buffer, static_cast<int>(size), m_fp) != nullptr) return OK;
  if (std::ferror(m_fp)) {
    std::printf("cannot read %s: %s\n", m_name.c_str(), std::strerror(errno));
    std::printf("fgets error");
    std::exit(1);
  }
  return END_OF_FILE;
}

void Cfile::report_write_failure(int error_number) {
  if (m_write_failed) return;
  m_write_failed = true;
  std::printf("cannot write %s: %s\n", m_name.c_str(), std::strerror(error_number));
}

int Cfile::write_binary(const void* data, size_t length) {
  if (m_write_failed) return ERROR;
  if (fwrite_unlocked(data, 1, length, m_fp) != length) {
    report_write_failure(errno);
    return ERROR;
  }
  return OK;
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
  auto& text = m_dump_text;
  char* p = text;
  const auto* bytes = reinterpret_cast<const unsigned char*>(block);
  for (int line = 0; line < DUMP_LINES; ++line) {
    for (int word = 0; word < DUMP_WORDS_PER_LINE; ++word) {
      std::memcpy(p, HEX_PAIRS.digits[bytes[1]], 2);  // high byte first: "%04x"
      std::memcpy(p + 2, HEX_PAIRS.digits[bytes[0]], 2);
      p[4] = ' ';
      p += 5;
      bytes += 2;
    }
    *p++ = '\n';
  }
  return write_binary(text, sizeof text);
}

int Cfile::close() {
  if (m_fp != nullptr) {
    const int result = std::fclose(m_fp);
    const int error_number = errno;
    m_fp = nullptr;
    delete[] m_buffer;
    m_buffer = nullptr;
    if (result != 0) report_write_failure(error_number);
  }
  return m_write_failed ? ERROR : OK;
}
