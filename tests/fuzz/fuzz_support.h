// Shared pieces of the libFuzzer harnesses: input and output files on tmpfs,
// the program's standard output taken or dropped, building block files out
// of fuzz bytes, the settings of this build for the format model
// (format_reference.h), and the body of the block walk harnesses, whose
// output and messages are compared with the model's byte for byte.
#ifndef TVQ_FUZZ_SUPPORT_H
#define TVQ_FUZZ_SUPPORT_H

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// The model is not what is fuzzed: no coverage feedback from it.
#pragma clang attribute push(__attribute__((no_sanitize("coverage"))), apply_to = function)
#include "../format_reference.h"
#pragma clang attribute pop
#include "Cconverter.h"
#include "Cfile.h"
#include "user_settings.h"

namespace fuzz {

using Bytes = std::vector<unsigned char>;

using reference::BLOCK;
using reference::WORDS;

// A failed property: the harness stops with a message that says which one.
[[noreturn]] inline void fail(const char* what) {
  std::fprintf(stderr, "\n*** property failed: %s\n", what);
  std::fflush(stderr);
  __builtin_trap();
}

inline void check(bool condition, const char* what) {
  if (!condition) fail(what);
}

// The program prints its messages on standard output; the fuzzer keeps its
// own reports on standard error. Standard output goes to /dev/null, or, when
// kept, into an in-memory file that take_stdout() empties.
inline void silence_stdout(bool keep = false) {
  std::fflush(stdout);
  const int fd = keep ? memfd_create("tvq-fuzz-stdout", MFD_CLOEXEC) : ::open("/dev/null", O_WRONLY);
  if (fd < 0 || ::dup2(fd, STDOUT_FILENO) < 0) fail("redirecting standard output");
  ::close(fd);
}

inline const std::string& take_stdout() {
  static std::string text;
  std::fflush(stdout);
  text.resize(static_cast<size_t>(::lseek(STDOUT_FILENO, 0, SEEK_END)));
  if (!text.empty() && ::pread(STDOUT_FILENO, &text[0], text.size(), 0) != static_cast<ssize_t>(text.size()))
    fail("reading standard output back");
  if (::ftruncate(STDOUT_FILENO, 0) != 0 || ::lseek(STDOUT_FILENO, 0, SEEK_SET) != 0)
    fail("emptying standard output");
  return text;
}

// The input of one run: an anonymous in-memory file reached by name through
// /proc/self/fd, so that Cfile opens it like any file given on the command line.
class Input_file {
 public:
  Input_file() : m_fd(memfd_create("tvq-fuzz-input", MFD_CLOEXEC)) {
    if (m_fd < 0) fail("memfd_create");
    m_name = "/proc/self/fd/" + std::to_string(m_fd);
  }
  void set(const unsigned char* data, size_t size) {
    if (::ftruncate(m_fd, 0) != 0) fail("ftruncate input");
    size_t done = 0;
    while (done < size) {
      const ssize_t n = ::pwrite(m_fd, data + done, size - done, static_cast<off_t>(done));
      if (n <= 0) fail("pwrite input");
      done += static_cast<size_t>(n);
    }
  }
  const std::string& name() const { return m_name; }

 private:
  int m_fd;
  std::string m_name;
};

// Output names: fresh for every run, in a private directory on tmpfs
// (fopen_w and fopen_wb refuse a name that exists). Each run removes its
// output; the directory goes when the process exits.
class Output_names {
 public:
  Output_names() {
    const char* base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string pattern = std::string(base) + "/tvq-fuzz-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr) fail("mkdtemp");
    std::memcpy(directory(), buffer.data(), buffer.size());
    std::atexit([] { ::rmdir(directory()); });
  }
  std::string next() { return std::string(directory()) + "/out." + std::to_string(++m_count); }

 private:
  // Plain storage, still valid while exit handlers run.
  static char* directory() {
    static char name[64];
    return name;
  }
  unsigned long m_count = 0;
};

// Reads the whole file into bytes (whose capacity is kept from run to run).
inline void read_whole(const std::string& name, Bytes& bytes) {
  bytes.clear();
  const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) fail("output file cannot be read back");
  struct stat st {};
  if (::fstat(fd, &st) != 0) fail("fstat of the output");
  bytes.resize(static_cast<size_t>(st.st_size));
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) fail("reading the output back");
    done += static_cast<size_t>(n);
  }
  ::close(fd);
}

// This build's settings, handed to the model as data.
inline const reference::Settings& settings() {
  static const reference::Settings values{{user_run_number, user_start_time, user_stop_time, user_print_time,
                                           user_print_date, user_header, user_ender},
                                          USER_LINE_FORMAT,
                                          static_cast<int>(DATA_SIZE)};
  return values;
}

// ------------------------------------------------------------ byte source

// Reads the fuzz bytes front to back; past the end it yields zeros.
class Source {
 public:
  Source(const unsigned char* data, size_t size) : m_data(data), m_size(size) {}
  bool empty() const { return m_pos >= m_size; }
  size_t left() const { return empty() ? 0 : m_size - m_pos; }
  unsigned byte() { return empty() ? 0 : m_data[m_pos++]; }
  unsigned word() {
    const unsigned low = byte();
    return low | (byte() << 8);
  }
  // Up to count bytes (fewer at the end of the input).
  const unsigned char* take(size_t& count) {
    if (count > left()) count = left();
    const unsigned char* p = m_data + m_pos;
    m_pos += count;
    return p;
  }

 private:
  const unsigned char* m_data;
  size_t m_size;
  size_t m_pos = 0;
};

// ------------------------------------------------------------ block files

using reference::get_word;
using reference::put_word;

inline void append_user_block(Bytes& file, unsigned flag) { reference::append_user_block(file, flag, settings()); }

// An event block being filled word by word; words past the block are dropped,
// so records may be cut off at its end.
class Event_block {
 public:
  explicit Event_block(Bytes& file) : m_file(file), m_at(file.size()) {
    file.resize(m_at + BLOCK, 0);
  }
  size_t position() const { return m_pos; }
  bool full() const { return m_pos >= WORDS; }
  void put(unsigned value) {
    if (m_pos < WORDS) put_word(m_file, m_at + 2 * m_pos, value);
    ++m_pos;
  }
  // A record whose event size and segment size agree (event size = n + 5).
  void record(unsigned id, size_t n, Source* data) {
    put(static_cast<unsigned>((n + 5) & 0x7FFF) | 0x8000u);
    put(1);
    put(id);
    put(static_cast<unsigned>((n + 2) & 0xFFFF));
    put(1);
    for (size_t i = 0; i < n && !full(); ++i) put(data != nullptr ? data->word() : 0);
  }

 private:
  Bytes& m_file;
  size_t m_at;
  size_t m_pos = 4;  // flag and three blank words
};

// Fuzz input of the -b2rb and -b2t harnesses. Byte 0 chooses how the rest
// becomes the input file:
//   0 raw:     the rest is the file as it stands (any length).
//   1 blocks:  a list of blocks; per block a control byte c:
//                c & 3: word 0 = 1 (header), 0 (event), 0xFFFF (ender), or
//                       the next two bytes (little-endian);
//                c & 4: the block is cut short to (next two bytes) % 16384 bytes;
//                c >> 3: that many times 8 following bytes fill the block
//                        from byte 2 on; the rest of the block is zero.
//              At most 8 blocks.
//   2 records: header, event blocks built from record operations, ending.
//              Byte 1 chooses the ending: 0 ender, 1 ender and 100 bytes
//              after it, 2 none, 3 half an ender. Then operations, byte o:
//                o & 7 = 0, 1: consistent record, n = next byte data words
//                              taken from the input;
//                        2: (o >> 3) + 1 raw words from the input;
//                        3: record with segment size (o >> 3) & 1 (0 or 1) and
//                           a matching event size;
//                        4: consistent record of zeros that brings the next
//                           record to word 8191 - ((o >> 3) & 31), if it can;
//                        5: consistent record, n = (next two bytes) % 8192,
//                           cut off at the end of the block;
//                        6: close the block: (o >> 3) & 3 = 0 two 0xFFFF
//                           markers, 1 nothing, 2 0xFFFF and a word that is
//                           not 1, 3 a word without bit 15; start a new event
//                           block (at most 4);
//                        7: record with an event size and a segment size
//                           taken from the input (any relation).
//   3 words:   header, then event blocks whose words 4 to 8191 are the rest
//              of the input (at most 4 blocks, the last padded with zeros),
//              then an ender.
inline void build_block_file(const unsigned char* data, size_t size, Bytes& file) {
  file.clear();
  if (size == 0) return;
  Source in(data + 1, size - 1);
  switch (data[0] & 3) {
    case 0:
      file.assign(data + 1, data + size);
      break;
    case 1:
      for (int blocks = 0; blocks < 8 && !in.empty(); ++blocks) {
        const unsigned c = in.byte();
        static const unsigned FLAGS[3] = {1, 0, 0xFFFF};
        const unsigned flag = (c & 3) == 3 ? in.word() : FLAGS[c & 3];
        size_t length = BLOCK;
        if (c & 4) length = in.word() % BLOCK;
        size_t fill = static_cast<size_t>(c >> 3) * 8;
        const unsigned char* content = in.take(fill);
        const size_t at = file.size();
        file.resize(at + BLOCK, 0);
        put_word(file, at, flag);
        std::memcpy(file.data() + at + 2, content, fill);
        file.resize(at + length);
      }
      break;
    case 2: {
      const unsigned ending = in.byte() & 3;
      append_user_block(file, 1);
      int blocks = 1;
      auto* block = new Event_block(file);
      unsigned id = 0;
      while (!in.empty()) {
        const unsigned o = in.byte();
        switch (o & 7) {
          case 0:
          case 1:
            block->record(++id, in.byte(), &in);
            break;
          case 2:
            for (unsigned i = 0; i <= (o >> 3); ++i) block->put(in.word());
            break;
          case 3: {
            const unsigned segment = (o >> 3) & 1;
            block->put((segment + 3) | 0x8000u);
            block->put(1);
            block->put(++id);
            block->put(segment);
            block->put(1);
            break;
          }
          case 4: {
            const size_t target = WORDS - 1 - ((o >> 3) & 31);
            if (block->position() + 5 <= target) block->record(++id, target - block->position() - 5, nullptr);
            break;
          }
          case 5:
            block->record(++id, in.word() % WORDS, nullptr);
            break;
          case 6: {
            const unsigned end = (o >> 3) & 3;
            if (end == 0) {
              block->put(0xFFFF);
              block->put(0xFFFF);
            } else if (end == 2) {
              block->put(0xFFFF);
              block->put(2 + in.byte());
            } else if (end == 3) {
              block->put(in.word() & 0x7FFF);
            }
            delete block;
            block = nullptr;
            if (blocks == 4) break;
            ++blocks;
            block = new Event_block(file);
            id = 0;
            break;
          }
          default:
            block->put(in.word() | 0x8000u);
            block->put(1);
            block->put(++id);
            block->put(in.word());
            block->put(1);
            break;
        }
        if (block == nullptr) break;
      }
      delete block;
      if (ending != 2) append_user_block(file, 0xFFFF);
      if (ending == 1) file.insert(file.end(), 100, 0x5A);
      if (ending == 3) file.resize(file.size() - BLOCK / 2);
      break;
    }
    default: {
      append_user_block(file, 1);
      for (int blocks = 0; blocks < 4 && (blocks == 0 || !in.empty()); ++blocks) {
        const size_t at = file.size();
        file.resize(at + BLOCK, 0);
        size_t count = BLOCK - 8;
        const unsigned char* content = in.take(count);
        std::memcpy(file.data() + at + 8, content, count);
      }
      append_user_block(file, 0xFFFF);
      break;
    }
  }
}

// ------------------------------------------------------------ block walk

// The body of the block walk harnesses: one conversion of a block file built
// from the fuzz bytes, its status, output and messages compared with the
// model's. Standard output must be kept (silence_stdout(true)).
inline void run_walk(const unsigned char* data, size_t size, int (Cconverter::*convert)(), bool listing) {
  static Input_file* input = new Input_file;
  static Output_names* outputs = new Output_names;
  static Bytes file;
  build_block_file(data, size, file);
  input->set(file.data(), file.size());
  const std::string output_name = outputs->next();
  int status;
  {
    Cfile in;
    Cfile out;
    if (in.fopen_rb(input->name()) != OK) fail("fopen_rb of the input");
    if (out.fopen_w(output_name) != OK) fail("fopen_w of a fresh name");
    Cconverter converter;
    converter.set_file(&in, "in");
    converter.set_file(&out, "out");
    status = (converter.*convert)();
    if (out.close() != OK) fail("closing the output");
  }
  static reference::Walk expected;
  reference::walk(file, input->name(), listing, expected);
  check(status == (expected.ok ? OK : ERROR), "conversion status differs from the format's");
  check(take_stdout() == expected.messages, "messages differ from the format's");
  static Bytes got;
  read_whole(output_name, got);
  check(got.size() == expected.output.size(), "output length differs from the format's");
  check(got.empty() || std::memcmp(got.data(), expected.output.data(), got.size()) == 0,
        "output bytes differ from the format's");
  ::unlink(output_name.c_str());
}

// An input that begins with BUILT_LINE gives a data line built from its bytes
// (the first byte after the mark and so on, zeros past the end): an integer
// from four bytes for each %d, and for each %f five bytes: the bits of a
// float and a spelling of it, or of the point halfway to the next float up,
// with 15 to 19 significant digits as round-trip printers write them, or in
// full (up to 61 digits), or in full and a unit of its last digit above or
// below. Random bytes seldom spell these.
constexpr uint8_t BUILT_LINE = 0xFE;

inline std::string built_line(const uint8_t* data, size_t size) {
  size_t at = 0;
  const auto next = [&](int count) {
    uint32_t bits = 0;
    for (int i = 0; i < count; ++i, ++at) bits = bits << 8 | (at < size ? data[at] : 0u);
    return bits;
  };
  std::string line;
  char text[128];
  for (int i = 0; i < NUMBER_OF_DATA; ++i) {
    const uint32_t value = next(4);
    const uint32_t bits[2] = {value, value + 1};
    if (LINE_LAYOUT.kinds[i] == 'd') {
      std::snprintf(text, sizeof text, &" %d"[i == 0], static_cast<int32_t>(bits[0]));
    } else {
      const uint32_t spelling = next(1);
      float pair[2];
      std::memcpy(pair, bits, sizeof pair);
      const double chosen = spelling & 1 ? (double{pair[0]} + pair[1]) / 2 : pair[0];
      const bool full = !(spelling & 16) && std::isfinite(chosen);
      const int precision = full ? 60 : 14 + static_cast<int>(spelling >> 1 & 7) % 5;
      std::snprintf(text, sizeof text, &" %.*e"[i == 0], precision, chosen);
      char* exponent = std::strchr(text, 'e');
      char* last = exponent;
      while (full && last[-1] == '0') --last;
      if (full && last[-1] == '.') --last;
      if (full) std::memmove(last, exponent, std::strlen(exponent) + 1);
      if (full && (spelling & 96) == 32 && last[-1] < '9') ++last[-1];
      if (full && (spelling & 96) == 64 && last[-1] > '0') --last[-1];
    }
    line += text;
  }
  return line + '\n';
}

}  // namespace fuzz

#endif
