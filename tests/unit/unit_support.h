// Helpers shared by the unit tests: a scratch directory that removes itself,
// whole-file reads and writes, and a way to run a piece of code in a child
// process with its standard output collected (for exits and resource limits).
#ifndef TVQ_UNIT_SUPPORT_H
#define TVQ_UNIT_SUPPORT_H

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

namespace tvq_test {

class Scratch_dir {
 public:
  Scratch_dir() {
    char pattern[] = "/tmp/tvq_unit_XXXXXX";
    if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    m_path = pattern;
  }
  ~Scratch_dir() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
  }
  Scratch_dir(const Scratch_dir&) = delete;
  Scratch_dir& operator=(const Scratch_dir&) = delete;

  std::string path(const std::string& name) const { return m_path + "/" + name; }
  const std::string& root() const { return m_path; }

 private:
  std::string m_path;
};

inline void write_file(const std::string& name, const std::string& bytes) {
  std::ofstream out(name, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + name);
}

inline std::string read_file(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + name);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct Child_result {
  bool exited;      // ended by exit/_exit (not by a signal)
  int exit_status;  // valid when exited
  std::string out;  // everything the child wrote to standard output
};

// Runs body() in a forked child whose standard output goes into a pipe. The
// child ends with _exit(body()) unless body ends the process itself.
template <typename Body>
Child_result run_in_child(Body body) {
  std::fflush(stdout);
  int fds[2];
  if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    ::close(fds[0]);
    if (dup2(fds[1], STDOUT_FILENO) < 0) _exit(121);
    ::close(fds[1]);
    const int code = body();
    std::fflush(stdout);
    _exit(code);
  }
  ::close(fds[1]);
  Child_result result{false, -1, std::string()};
  char buffer[4096];
  for (;;) {
    const ssize_t got = ::read(fds[0], buffer, sizeof buffer);
    if (got > 0) {
      result.out.append(buffer, static_cast<size_t>(got));
    } else if (got == 0 || errno != EINTR) {
      break;
    }
  }
  ::close(fds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.exited = WIFEXITED(status);
  if (result.exited) result.exit_status = WEXITSTATUS(status);
  return result;
}

// Makes control characters of a line visible in failure messages.
inline std::string visible(const std::string& text) {
  std::string shown;
  for (const char c : text) {
    switch (c) {
      case '\n': shown += "\\n"; break;
      case '\r': shown += "\\r"; break;
      case '\t': shown += "\\t"; break;
      case '\v': shown += "\\v"; break;
      case '\f': shown += "\\f"; break;
      default: shown += c;
    }
  }
  return shown;
}

}  // namespace tvq_test

#endif
