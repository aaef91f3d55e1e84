// Cfile on real files, pipes and FIFOs: block reads with stepping back, line
// reads, exclusive creation, raw and text writes, the block dump and the
// reporting of write failures.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "../format_reference.h"
#include "Cfile.h"
#include "text_format.h"
#include "tvq_constants.h"
#include "unit_support.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;
using tvq_test::read_file;
using tvq_test::Scratch_dir;
using tvq_test::write_file;

namespace {

// Bytes of a file whose block k holds the words (k * 8192 + i) * 2654435761 >> 16,
// so that every block and every word differ.
std::string block_bytes(size_t length) {
  std::string bytes(length, '\0');
  for (size_t i = 0; i + 1 < length; i += 2) {
    const auto word = static_cast<uint16_t>((static_cast<uint64_t>(i / 2) * 2654435761u) >> 16);
    bytes[i] = static_cast<char>(word & 0xFF);
    bytes[i + 1] = static_cast<char>(word >> 8);
  }
  if (length % 2 == 1) bytes[length - 1] = '\x77';
  return bytes;
}

// The problem a failed call keeps.
void expect_problem(const Cfile& file, Problem_kind kind, int error_number,
                    const std::string& reason) {
  EXPECT_EQ(static_cast<int>(kind), static_cast<int>(file.problem().kind));
  EXPECT_EQ(error_number, file.problem().error_number);
  EXPECT_EQ(file.name(), file.problem().path);
  EXPECT_EQ(reason, file.problem().reason);
}

std::string block_as_bytes(const int16_t* block) {
  return std::string(reinterpret_cast<const char*>(block), BLOCK_SIZE);
}

// One call of read_one_block and what it must give.
struct Read_step {
  int status;
  std::string message;
  size_t block_index;  // for OK: which block of the input the buffer must hold
};

void check_block_reads(Cfile& file, const std::string& input, const std::vector<Read_step>& steps) {
  int16_t block[WORDS_PER_BLOCK];
  for (size_t s = 0; s < steps.size(); ++s) {
    SCOPED_TRACE("read " + std::to_string(s));
    std::memset(block, 0x33, sizeof block);
    CaptureStdout();
    const int status = file.read_one_block(block);
    EXPECT_EQ(steps[s].message, GetCapturedStdout());
    ASSERT_EQ(steps[s].status, status);
    if (status == OK) {
      EXPECT_EQ(input.substr(steps[s].block_index * BLOCK_SIZE, BLOCK_SIZE), block_as_bytes(block));
    }
  }
}

TEST(CfileReadOneBlock, WholeBlocksThenEndOfFileOrIncompleteBlock) {
  struct Case {
    size_t size;
    std::vector<Read_step> steps;  // message texts use NAME for the file name
    int64_t blocks;
  };
  const std::string eof = "end of file\n";
  const std::string incomplete0 = "end of file\nblock 0 of NAME is incomplete: ";
  const Case cases[] = {
      {0, {{END_OF_FILE, eof, 0}, {END_OF_FILE, eof, 0}}, 0},
      {16384, {{OK, "", 0}, {END_OF_FILE, eof, 0}, {END_OF_FILE, eof, 0}}, 1},
      {32768, {{OK, "", 0}, {OK, "", 1}, {END_OF_FILE, eof, 0}}, 2},
      {1, {{ERROR, incomplete0 + "1 of 16384 bytes\n", 0}}, 0},
      {16383, {{ERROR, incomplete0 + "16383 of 16384 bytes\n", 0}}, 0},
      {16385, {{OK, "", 0}, {ERROR, eof + "block 1 of NAME is incomplete: 1 of 16384 bytes\n", 0}}, 1},
      {40000,
       {{OK, "", 0}, {OK, "", 1}, {ERROR, eof + "block 2 of NAME is incomplete: 7232 of 16384 bytes\n", 0}},
       2},
  };
  // Read, or mapped (map_input()) alike.
  for (const auto& c : cases) for (const bool mapped : {false, true}) {
    SCOPED_TRACE("file of " + std::to_string(c.size) + " bytes" + (mapped ? ", mapped" : ""));
    Scratch_dir dir;
    const std::string name = dir.path("in.tvq");
    const std::string input = block_bytes(c.size);
    write_file(name, input);
    std::vector<Read_step> steps = c.steps;
    for (auto& step : steps) {
      const size_t at = step.message.find("NAME");
      if (at != std::string::npos) step.message.replace(at, 4, name);
    }
    Cfile file;
    CaptureStdout();
    ASSERT_EQ(OK, file.fopen_rb(name));
    if (mapped) file.map_input();
    EXPECT_EQ("", GetCapturedStdout());
    check_block_reads(file, input, steps);
    EXPECT_EQ(c.blocks, file.blocks_read());
    const std::string& said = steps.back().message;
    if (steps.back().status == ERROR)
      expect_problem(file, Problem_kind::DAMAGE, 0,
                     said.substr(eof.size(), said.size() - eof.size() - 1));
  }
}

TEST(CfileReadOneBlock, MappedFileGivesItsBlocksAcrossWindowsAndFailsWhenCutShort) {
  Scratch_dir dir;
  const std::string name = dir.path("in.tvq");
  const std::string input = block_bytes(size_t{9} << 20);  // more than a window
  write_file(name, input);
  for (const size_t cut_to : {input.size(), size_t{BLOCK_SIZE}}) {
    SCOPED_TRACE("cut to " + std::to_string(cut_to));
    Cfile file;
    ASSERT_EQ(OK, file.fopen_rb(name));
    file.map_input();
    std::vector<Read_step> steps(input.size() / BLOCK_SIZE);
    for (size_t i = 0; i < steps.size(); ++i) steps[i] = {OK, "", i};
    check_block_reads(file, input, {steps[0]});
    // Another process cuts the file short: the pages past its end read as
    // zeros, and the read fails when the window is done.
    ASSERT_EQ(0, ::truncate(name.c_str(), static_cast<off_t>(cut_to)));
    if (cut_to < input.size()) {
      int16_t block[WORDS_PER_BLOCK];
      CaptureStdout();
      while (file.read_one_block(block) == OK) EXPECT_EQ(0, block[0]);
      const std::string reason = name + " was cut short while it was read";
      EXPECT_EQ(reason + "\n", GetCapturedStdout());
      expect_problem(file, Problem_kind::READ, EIO, reason);
    } else {
      steps.push_back({END_OF_FILE, "end of file\n", 0});
      check_block_reads(file, input, {steps.begin() + 1, steps.end()});
    }
  }
}

TEST(CfileReadOneBlock, ReadErrorIsReportedWithBlockIndexAndReason) {
  // reading /proc/self/mem at offset 0 fails with EIO: a read error, not an end
  Cfile file;
  CaptureStdout();
  ASSERT_EQ(OK, file.fopen_rb("/proc/self/mem"));
  int16_t block[WORDS_PER_BLOCK];
  const int status = file.read_one_block(block);
  const std::string out = GetCapturedStdout();
  EXPECT_EQ(ERROR, status);
  EXPECT_EQ("cannot read block 0 of /proc/self/mem: " + std::string(std::strerror(EIO)) + "\n", out);
  expect_problem(file, Problem_kind::READ, EIO, out.substr(0, out.size() - 1));
}

// An input served from a regular file, a pipe (named /dev/fd/N) or a FIFO.
// The pipe and FIFO are fed by a thread in pieces of 1000 bytes, so that a
// block arrives in many short reads.
class Input_source {
 public:
  enum Kind { REGULAR, PIPE, FIFO };

  Input_source(Kind kind, const Scratch_dir& dir, const std::string& bytes)
      : m_kind(kind), m_bytes(bytes), m_pipe_read(-1) {
    std::signal(SIGPIPE, SIG_IGN);  // a reader that gives up must not kill the test
    if (kind == REGULAR) {
      m_name = dir.path("in.tvq");
      write_file(m_name, bytes);
    } else if (kind == PIPE) {
      int fds[2];
      if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
      m_pipe_read = fds[0];
      m_name = "/dev/fd/" + std::to_string(fds[0]);
      const int write_end = fds[1];
      m_writer = std::thread([this, write_end] { feed(write_end); });
    } else {
      m_name = dir.path("in.fifo");
      if (mkfifo(m_name.c_str(), 0600) != 0) throw std::runtime_error("mkfifo failed");
      m_writer = std::thread([this] {
        const int fd = ::open(m_name.c_str(), O_WRONLY);
        if (fd >= 0) feed(fd);
      });
    }
  }
  ~Input_source() {
    if (m_pipe_read >= 0) ::close(m_pipe_read);
    if (m_kind == FIFO) {
      // lets a writer still waiting for a reader go on (and fail) if the test gave up early
      const int fd = ::open(m_name.c_str(), O_RDONLY | O_NONBLOCK);
      if (fd >= 0) ::close(fd);
    }
    if (m_writer.joinable()) m_writer.join();
  }
  // The opened Cfile holds its own descriptor; ours is not needed any more.
  void opened() {
    if (m_pipe_read >= 0) ::close(m_pipe_read);
    m_pipe_read = -1;
  }
  const std::string& name() const { return m_name; }

 private:
  void feed(int fd) {
    for (size_t at = 0; at < m_bytes.size(); at += 1000) {
      const size_t length = std::min<size_t>(1000, m_bytes.size() - at);
      if (::write(fd, m_bytes.data() + at, length) != static_cast<ssize_t>(length)) break;
    }
    ::close(fd);
  }

  Kind m_kind;
  std::string m_bytes;
  std::string m_name;
  int m_pipe_read;
  std::thread m_writer;
};

const char* kind_name(Input_source::Kind kind) {
  return kind == Input_source::REGULAR ? "regular file" : kind == Input_source::PIPE ? "pipe" : "FIFO";
}

// The block walk's peek: read a block, step back, read the same block again.
TEST(CfileSeekBackOneBlock, ServesTheSameBlockAgainOnFilesPipesAndFifos) {
  for (const auto kind : {Input_source::REGULAR, Input_source::PIPE, Input_source::FIFO}) {
    SCOPED_TRACE(kind_name(kind));
    Scratch_dir dir;
    const std::string input = block_bytes(3 * BLOCK_SIZE);
    Input_source source(kind, dir, input);
    Cfile file;
    ASSERT_EQ(OK, file.fopen_rb(source.name()));
    source.opened();
    int16_t block[WORDS_PER_BLOCK];
    // block index served by each read; -1 stands for a step back
    const int sequence[] = {0, -1, 0, 1, -1, 1, -1, 1, 2, -1, 2};
    for (const int step : sequence) {
      CaptureStdout();
      if (step < 0) {
        EXPECT_EQ(OK, file.seek_back_one_block());
      } else {
        std::memset(block, 0, sizeof block);
        EXPECT_EQ(OK, file.read_one_block(block));
        EXPECT_EQ(input.substr(static_cast<size_t>(step) * BLOCK_SIZE, BLOCK_SIZE), block_as_bytes(block))
            << "expected block " << step;
      }
      EXPECT_EQ("", GetCapturedStdout());
    }
    CaptureStdout();
    EXPECT_EQ(END_OF_FILE, file.read_one_block(block));
    EXPECT_EQ("end of file\n", GetCapturedStdout());
    EXPECT_EQ(3, file.blocks_read());  // replays are not blocks taken from the stream
  }
}

TEST(CfileReadOneBlock, PipeAndFifoEndLikeRegularFiles) {
  for (const auto kind : {Input_source::PIPE, Input_source::FIFO}) {
    SCOPED_TRACE(kind_name(kind));
    for (const size_t size : {size_t{2 * BLOCK_SIZE}, size_t{BLOCK_SIZE + 100}}) {
      SCOPED_TRACE(size);
      Scratch_dir dir;
      const std::string input = block_bytes(size);
      Input_source source(kind, dir, input);
      Cfile file;
      ASSERT_EQ(OK, file.fopen_rb(source.name()));
      source.opened();
      std::vector<Read_step> steps = {{OK, "", 0}};
      if (size == 2 * BLOCK_SIZE) {
        steps.push_back({OK, "", 1});
        steps.push_back({END_OF_FILE, "end of file\n", 0});
      } else {
        steps.push_back({ERROR,
                         "end of file\nblock 1 of " + source.name() +
                             " is incomplete: 100 of 16384 bytes\n",
                         0});
      }
      check_block_reads(file, input, steps);
    }
  }
}

// The pieces that successive reads give until the end: a piece ends after its
// newline or at its terminator (the buffer is refilled before every read, so
// a piece holding NUL bytes is seen whole when it ends with a newline).
template <typename Read>
std::vector<std::string> line_pieces(Read read, uint32_t size, size_t most) {
  std::vector<char> buffer(size + 8);
  std::vector<std::string> pieces;
  while (pieces.size() <= most) {
    std::fill(buffer.begin(), buffer.end(), '\x01');
    if (!read(buffer.data())) break;
    const auto* newline = static_cast<const char*>(std::memchr(buffer.data(), '\n', size));
    pieces.emplace_back(buffer.data(), newline != nullptr ? static_cast<size_t>(newline - buffer.data()) + 1
                                                          : std::strlen(buffer.data()));
  }
  return pieces;
}

// Text larger than the reader's buffer: lines of every length from 0 to 299,
// each with a NUL byte, and a long line of 100000 characters.
std::string long_text() {
  std::string text;
  for (int round = 0; round < 3; ++round) {
    for (int length = 0; length < 300; ++length) text += std::string(static_cast<size_t>(length), 'a' + round) + '\0' + "\n";
  }
  return text + std::string(100000, 'z') + "\n";
}

TEST(CfileReadLine, LinesPiecesLastLineAndEnd) {
  struct Case {
    const char* name;
    std::string content;
    uint32_t size;
    std::vector<std::string> lines;  // what each read gives before END_OF_FILE; none: what fgets gives
  };
  const std::string end_at_128k = std::string(131071, 'x') + "\n";
  const Case cases[] = {
      {"one line", "abc\n", 16, {"abc\n"}},
      {"long line in pieces of size - 1", "abcdefghij\n", 8, {"abcdefg", "hij\n"}},
      {"size - 1 characters: the newline comes alone", "abcdefg\n", 8, {"abcdefg", "\n"}},
      {"size - 2 characters: whole line", "abcdef\n", 8, {"abcdef\n"}},
      {"three pieces", "0123456789abcdefghij\n", 8, {"0123456", "789abcd", "efghij\n"}},
      {"last line without newline", "one\ntwo", 16, {"one\n", "two"}},
      {"empty lines", "\n\n", 16, {"\n", "\n"}},
      {"carriage return kept", "a\r\nb\r\n", 16, {"a\r\n", "b\r\n"}},
      {"empty file", "", 16, {}},
      {"full-size buffer", std::string(MAX_ONE_LINE_LEN - 1, 'x') + "\n", MAX_ONE_LINE_LEN,
       {std::string(MAX_ONE_LINE_LEN - 1, 'x'), "\n"}},
      {"NUL bytes kept", std::string("a\0b\n\0\n", 6), 16, {std::string("a\0b\n", 4), std::string("\0\n", 2)}},
      {"lines and pieces across the reader's buffer", long_text(), MAX_ONE_LINE_LEN, {}},
      {"small pieces across the reader's buffer", long_text(), 7, {}},
      {"last line without newline after 128 KiB", end_at_128k + "tail", MAX_ONE_LINE_LEN, {}},
      {"newline as the last byte of 128 KiB", end_at_128k + "next\n", MAX_ONE_LINE_LEN, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Scratch_dir dir;
    const std::string name = dir.path("in.txt");
    write_file(name, c.content);
    std::vector<std::string> expected = c.lines;
    if (expected.empty() && !c.content.empty()) {
      FILE* stream = std::fopen(name.c_str(), "r");
      ASSERT_NE(nullptr, stream);
      expected = line_pieces([&](char* b) { return std::fgets(b, static_cast<int>(c.size), stream) != nullptr; },
                             c.size, c.content.size());
      std::fclose(stream);
      ASSERT_GT(expected.size(), 2u);
    }
    Cfile file;
    ASSERT_EQ(OK, file.fopen_r(name));
    CaptureStdout();
    int status = OK;
    const auto got = line_pieces([&](char* b) { return (status = file.read_line(b, c.size)) == OK; },
                                 c.size, expected.size() + 1);
    EXPECT_EQ(END_OF_FILE, status);
    std::vector<char> buffer(c.size + 8);
    EXPECT_EQ(END_OF_FILE, file.read_line(buffer.data(), c.size)) << "end of file is reported again";
    EXPECT_EQ("", GetCapturedStdout()) << "the end of the text is not a message";
    EXPECT_EQ(expected, got);
    // The same pieces when each line is first looked for in place.
    Cfile in_place;
    ASSERT_EQ(OK, in_place.fopen_r(name));
    const auto peeked = line_pieces(
        [&](char* b) {
          size_t available = 0;
          const char* line = in_place.peek_input(available);
          const auto* newline = static_cast<const char*>(
              std::memchr(line, '\n', std::min<size_t>(available, c.size - 1)));
          if (newline == nullptr) return in_place.read_line(b, c.size) == OK;
          const auto length = static_cast<size_t>(newline - line) + 1;
          std::memcpy(b, line, length);
          b[length] = '\0';
          in_place.take_line(length);
          return true;
        },
        c.size, expected.size() + 1);
    EXPECT_EQ(expected, peeked);
  }
}

TEST(CfileReadLine, ReadErrorIsReportedAndReturned) {
  Cfile file;
  ASSERT_EQ(OK, file.fopen_r("/proc/self/mem"));
  char buffer[64];
  CaptureStdout();
  EXPECT_EQ(READ_FAILED, file.read_line(buffer, sizeof buffer));
  EXPECT_EQ("cannot read /proc/self/mem: " + std::string(std::strerror(EIO)) + "\n", GetCapturedStdout());
}

TEST(CfileOpenForReading, DirectoryAndMissingFileAreRefused) {
  Scratch_dir dir;
  const std::string missing = dir.path("missing.tvq");
  const std::string directory = dir.root();
  const struct {
    const char* mode;
    std::function<int(Cfile&, const std::string&)> open;
  } modes[] = {
      {"rb", [](Cfile& f, const std::string& n) { return f.fopen_rb(n); }},
      {"r", [](Cfile& f, const std::string& n) { return f.fopen_r(n); }},
  };
  for (const auto& m : modes) {
    SCOPED_TRACE(m.mode);
    {
      Cfile file;
      CaptureStdout();
      EXPECT_EQ(ERROR, m.open(file, directory));
      EXPECT_EQ(directory + " is a directory\ncannot open " + directory + "\n", GetCapturedStdout());
      expect_problem(file, Problem_kind::OPEN, EISDIR,
                     directory + " is a directory; cannot open " + directory);
    }
    {
      Cfile file;
      CaptureStdout();
      EXPECT_EQ(ERROR, m.open(file, missing));
      EXPECT_EQ("cannot open " + missing + "\n", GetCapturedStdout());
      expect_problem(file, Problem_kind::OPEN, ENOENT, "cannot open " + missing);
    }
  }
}

const struct Write_mode {
  const char* name;
  int (Cfile::*open)(std::string);
} write_modes[] = {{"fopen_w", &Cfile::fopen_w}, {"fopen_wb", &Cfile::fopen_wb}};

TEST(CfileOpenForWriting, AnythingExistingUnderTheNameIsLeftAlone) {
  enum Kind { REGULAR, UNREADABLE, DANGLING_LINK, LINK_TO_FILE, FIFO, DIRECTORY };
  const struct {
    const char* name;
    Kind kind;
  } existing[] = {{"regular file", REGULAR},       {"unreadable file", UNREADABLE},
                  {"dangling symlink", DANGLING_LINK}, {"symlink to a file", LINK_TO_FILE},
                  {"FIFO", FIFO},                  {"directory", DIRECTORY}};
  const std::string content = "keep these bytes\n\x01\x02";
  for (const auto& mode : write_modes) {
    for (const auto& e : existing) {
      SCOPED_TRACE(std::string(mode.name) + " on " + e.name);
      Scratch_dir dir;
      const std::string name = dir.path("out");
      const std::string target = dir.path("target");
      switch (e.kind) {
        case REGULAR: write_file(name, content); break;
        case UNREADABLE: write_file(name, content); ASSERT_EQ(0, chmod(name.c_str(), 0)); break;
        case DANGLING_LINK: ASSERT_EQ(0, symlink(target.c_str(), name.c_str())); break;
        case LINK_TO_FILE:
          write_file(target, content);
          ASSERT_EQ(0, symlink(target.c_str(), name.c_str()));
          break;
        case FIFO: ASSERT_EQ(0, mkfifo(name.c_str(), 0600)); break;
        case DIRECTORY: ASSERT_EQ(0, mkdir(name.c_str(), 0700)); break;
      }
      // a FIFO held open at both ends, so that a program that wrongly opens
      // it fails this test instead of waiting for a writer forever
      const int fifo_fd = e.kind == FIFO ? ::open(name.c_str(), O_RDWR | O_NONBLOCK) : -1;
      {
        Cfile file;
        CaptureStdout();
        EXPECT_EQ(ERROR, (file.*mode.open)(name));
        EXPECT_EQ("all ready exist " + name + "\n", GetCapturedStdout());
        expect_problem(file, Problem_kind::EXISTS, EEXIST, "all ready exist " + name);
      }
      if (fifo_fd >= 0) {
        char byte;
        EXPECT_EQ(-1, ::read(fifo_fd, &byte, 1)) << "something was written into the FIFO";
        ::close(fifo_fd);
      }
      struct stat status {};
      ASSERT_EQ(0, lstat(name.c_str(), &status));
      switch (e.kind) {
        case REGULAR:
        case UNREADABLE:
          ASSERT_TRUE(S_ISREG(status.st_mode));
          chmod(name.c_str(), 0600);
          EXPECT_EQ(content, read_file(name));
          break;
        case DANGLING_LINK:
          EXPECT_TRUE(S_ISLNK(status.st_mode));
          EXPECT_NE(0, access(target.c_str(), F_OK)) << "the link's target was created";
          break;
        case LINK_TO_FILE:
          EXPECT_TRUE(S_ISLNK(status.st_mode));
          EXPECT_EQ(content, read_file(target));
          break;
        case FIFO: EXPECT_TRUE(S_ISFIFO(status.st_mode)); break;
        case DIRECTORY: EXPECT_TRUE(S_ISDIR(status.st_mode)); break;
      }
    }
  }
}

TEST(CfileOpenForWriting, NewNameIsCreatedAndMissingDirectoryCannotBeOpened) {
  for (const auto& mode : write_modes) {
    SCOPED_TRACE(mode.name);
    Scratch_dir dir;
    const std::string name = dir.path("new.out");
    {
      Cfile file;
      CaptureStdout();
      EXPECT_EQ(OK, (file.*mode.open)(name));
      EXPECT_EQ("", GetCapturedStdout());
      EXPECT_EQ(OK, file.close());
    }
    EXPECT_EQ("", read_file(name));
    const std::string in_missing_dir = dir.path("no/such/dir/out");
    Cfile file;
    CaptureStdout();
    EXPECT_EQ(ERROR, (file.*mode.open)(in_missing_dir));
    EXPECT_EQ("cannot open " + in_missing_dir + "\n", GetCapturedStdout());
    expect_problem(file, Problem_kind::OPEN, ENOENT, "cannot open " + in_missing_dir);
    EXPECT_NE(0, access(dir.path("no").c_str(), F_OK));
  }
}

// Writes through a fresh output file and returns the bytes it holds afterwards.
std::string written_bytes(const std::function<void(Cfile&)>& write) {
  Scratch_dir dir;
  const std::string name = dir.path("out.bin");
  {
    Cfile file;
    if (file.fopen_wb(name) != OK) return "<open failed>";
    CaptureStdout();
    write(file);
    const std::string out = GetCapturedStdout();
    EXPECT_EQ("", out);
    EXPECT_EQ(OK, file.close());
  }
  return read_file(name);
}

struct Write_case {
  const char* name;
  std::function<int(Cfile&)> write;
  std::string expected;
};

void check_write_cases(const std::vector<Write_case>& cases) {
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string bytes = written_bytes([&](Cfile& f) { EXPECT_EQ(OK, c.write(f)); });
    EXPECT_EQ(c.expected, bytes);
  }
}

TEST(CfileWriteBinary, ValuesAreWrittenLittleEndian) {
  check_write_cases({
      {"uint16 0x8000", [](Cfile& f) { return f.write_binary(static_cast<uint16_t>(0x8000)); },
       std::string("\x00\x80", 2)},
      {"uint16 1", [](Cfile& f) { return f.write_binary(static_cast<uint16_t>(1)); },
       std::string("\x01\x00", 2)},
      {"uint16 0x1234", [](Cfile& f) { return f.write_binary(static_cast<uint16_t>(0x1234)); },
       std::string("\x34\x12", 2)},
      {"int16 -1", [](Cfile& f) { return f.write_binary(static_cast<int16_t>(-1)); },
       std::string("\xff\xff", 2)},
      {"int16 flag of event size", [](Cfile& f) { return f.write_binary(FLAG_OF_EVENT_SIZE); },
       std::string("\x00\x80", 2)},
      {"int16 -2", [](Cfile& f) { return f.write_binary(static_cast<int16_t>(-2)); },
       std::string("\xfe\xff", 2)},
      {"char", [](Cfile& f) { return f.write_binary('A'); }, "A"},
      {"char 0xff", [](Cfile& f) { return f.write_binary('\xff'); }, "\xff"},
      {"char zero", [](Cfile& f) { return f.write_binary('\0'); }, std::string(1, '\0')},
      {"raw bytes with zeros", [](Cfile& f) { return f.write_binary("a\0b\0", 4); },
       std::string("a\0b\0", 4)},
      {"raw zero length", [](Cfile& f) { return f.write_binary("abc", 0); }, ""},
  });
}

TEST(CfileWriteWord, TextOverloads) {
  check_write_cases({
      {"char", [](Cfile& f) { return f.write_word('x'); }, "x"},
      {"newline char", [](Cfile& f) { return f.write_word('\n'); }, "\n"},
      {"C string, no newline added", [](Cfile& f) { return f.write_word("hello world"); },
       "hello world"},
      {"empty C string", [](Cfile& f) { return f.write_word(""); }, ""},
      {"string object", [](Cfile& f) { return f.write_word(std::string("RUN-1001")); }, "RUN-1001"},
      {"string object stops at an embedded zero",
       [](Cfile& f) { return f.write_word(std::string("ab\0cd", 5)); }, "ab"},
      {"int zero", [](Cfile& f) { return f.write_word(0); }, "0"},
      {"int positive", [](Cfile& f) { return f.write_word(65535); }, "65535"},
      {"int negative", [](Cfile& f) { return f.write_word(-1); }, "-1"},
      {"int max", [](Cfile& f) { return f.write_word(INT32_MAX); }, "2147483647"},
      {"int min", [](Cfile& f) { return f.write_word(INT32_MIN); }, "-2147483648"},
      {"int16 value is written as a number",
       [](Cfile& f) { return f.write_word(static_cast<int16_t>(-32768)); }, "-32768"},
  });
}

// The dump as the format model (printf's "%04x ") gives it.
std::string expected_dump(const int16_t* words, size_t count = WORDS_PER_BLOCK) {
  std::string text;
  reference::append_dump(reinterpret_cast<const uint16_t*>(words), count, text);
  return text;
}

TEST(CfileWriteOneBlock, DumpLines) {
  std::vector<int16_t> header(WORDS_PER_BLOCK, 0);
  header[0] = FLAG_OF_HEADER;
  std::vector<int16_t> ender(WORDS_PER_BLOCK, 0);
  ender[0] = FLAG_OF_ENDER;
  std::vector<int16_t> pattern(WORDS_PER_BLOCK);
  for (int i = 0; i < WORDS_PER_BLOCK; ++i)
    pattern[static_cast<size_t>(i)] = static_cast<int16_t>(static_cast<uint16_t>(i * 40503u + 0x1234u));
  pattern[WORDS_PER_BLOCK - 1] = static_cast<int16_t>(0xABCD);

  const std::string zeros_line = "0000 0000 0000 0000 0000 0000 0000 0000 \n";
  const struct {
    const char* name;
    const std::vector<int16_t>& block;
    std::string first_line;
    std::string last_line;
  } cases[] = {
      {"header flag", header, "0001 0000 0000 0000 0000 0000 0000 0000 \n", zeros_line},
      {"ender flag", ender, "ffff 0000 0000 0000 0000 0000 0000 0000 \n", zeros_line},
      {"every word different", pattern, "1234 b06b 4ea2 ecd9 8b10 2947 c77e 65b5 \n", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string dump = written_bytes([&](Cfile& f) { EXPECT_EQ(OK, f.write_one_block(c.block.data())); });
    ASSERT_EQ(1024u * 41u, dump.size());
    EXPECT_EQ(c.first_line, dump.substr(0, 41));
    if (!c.last_line.empty()) {
      EXPECT_EQ(c.last_line, dump.substr(dump.size() - 41));
    }
    EXPECT_EQ(expected_dump(c.block.data()), dump);
    for (size_t line = 0; line < 1024; ++line) {
      ASSERT_EQ('\n', dump[line * 41 + 40]) << "line " << line;
      ASSERT_EQ(' ', dump[line * 41 + 39]) << "line " << line;
    }
  }
  const std::string dump = written_bytes([&](Cfile& f) { f.write_one_block(pattern.data()); });
  EXPECT_EQ("abcd \n", dump.substr(dump.size() - 6));
}

// Every word value at every place of a line, in blocks written one after the
// other past the end of the output buffer: the vector and the portable text
// are the same, and the portable one is printf's.
TEST(CfileWriteOneBlock, VectorAndPortableTextForEveryWordValue) {
  std::vector<int16_t> words(65536 * 8);
  for (size_t i = 0; i < words.size(); ++i)
    words[i] = static_cast<int16_t>(static_cast<uint16_t>(i / 8 + (i % 8) * 8191));
  const size_t blocks = words.size() / WORDS_PER_BLOCK;
  std::string portable(words.size() / 8 * 41, '\0');
  char* end = format_dump_lines_portable(words.data(), words.size() / 8, &portable[0]);
  ASSERT_EQ(&portable[0] + portable.size(), end);
  EXPECT_TRUE(expected_dump(words.data(), words.size()) == portable) << "portable text differs from printf's";
  if (has_dump_vector()) {
    std::string vector(portable.size(), '\0');
    end = format_dump_lines_vector(words.data(), words.size() / 8, &vector[0]);
    ASSERT_EQ(&vector[0] + vector.size(), end);
    EXPECT_TRUE(portable == vector) << "vector text differs";
  }
  const std::string written = written_bytes([&](Cfile& f) {
    f.write_word("#");
    for (size_t b = 0; b < blocks; ++b) f.write_one_block(&words[b * WORDS_PER_BLOCK]);
  });
  EXPECT_TRUE("#" + portable == written) << "written text differs";
}

// Writes under a file size limit of 1000 bytes (SIGXFSZ ignored, so writes
// fail with EFBIG) in a child process. The child's exit status tells what the
// program saw: 1 close() gave ERROR, 2 write_failed(), 4 the last write gave ERROR.
tvq_test::Child_result write_under_size_limit(const std::string& name, const std::vector<size_t>& writes) {
  return tvq_test::run_in_child([&] {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{1000, 1000};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 120;
    Cfile file;
    if (file.fopen_wb(name) != OK) return 100;
    int last = OK;
    for (const size_t length : writes) {
      const std::string bytes(length, 'w');
      last = file.write_binary(bytes.data(), bytes.size());
    }
    const bool failed_before_close = file.write_failed();
    const int closed = file.close();
    // a later close must not report again
    const int closed_again = file.close();
    if (closed_again != closed) return 110;
    if (failed_before_close && closed != ERROR) return 111;
    return (closed == ERROR ? 1 : 0) | (file.write_failed() ? 2 : 0) | (last == ERROR ? 4 : 0);
  });
}

TEST(CfileClose, WriteFailureIsReportedOnceAndMakesCloseFail) {
  const struct {
    const char* name;
    std::vector<size_t> writes;
    int expected_status;
    bool message;
  } cases[] = {
      {"within the limit", {400, 600}, 0, false},
      // small enough to wait in the stream's buffer: the failure shows at close
      {"over the limit, seen at close or at a write", {600, 600}, -1, true},
      // more than any buffer: the writes themselves fail, the later ones quietly
      {"writes fail", {100000, 300000, 300000, 10}, 1 | 2 | 4, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Scratch_dir dir;
    const std::string name = dir.path("out.bin");
    const auto result = write_under_size_limit(name, c.writes);
    ASSERT_TRUE(result.exited);
    if (c.expected_status >= 0) {
      EXPECT_EQ(c.expected_status, result.exit_status);
    } else {
      // the last write may or may not have met the failure, close() always does
      EXPECT_EQ(1 | 2, result.exit_status & 3);
    }
    EXPECT_EQ(c.message ? "cannot write " + name + ": " + std::strerror(EFBIG) + "\n" : "", result.out);
    EXPECT_LE(read_file(name).size(), 1000u);
  }
}

}  // namespace
