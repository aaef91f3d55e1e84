// tvqconverter: checks the command line, opens the two files, runs one
// conversion and turns its status into the exit status (0, or 255 on failure).
#include "tvqconverter.h"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>

#include "Cconverter.h"
#include "Cfile.h"
#include "tvq_constants.h"

namespace {

const char* const options =
    " -b2rb : binary to readable binary\n -b2t  : binary to txt\n -t2b  : txt to binary\n";

}  // namespace

int check_arguments(int argc, const char* const* argv, std::string& option, std::string& input,
                    std::string& output) {
  if (argc != 4) {
    std::printf("\n%s%s%s%s\n", "you need to input option, input-filename,and output-filename.\n",
                "for example : tvqconverter -b2rb 1001.tvq 1001.txt\n\n", "available option is\n",
                options);
    return ERROR;
  }
  if (argv[1][0] != '-') {
    std::printf("second argument is option\n%s\n", options);
    return ERROR;
  }
  option = argv[1];
  if (option != "-b2rb" && option != "-b2t" && option != "-t2b") {
    std::printf("available option is\n%s\n", options);
    return ERROR;
  }
  input = argv[2];
  output = argv[3];
  return OK;
}

namespace {

// A standard descriptor that is closed would be taken by the first file the
// program opens, and its messages would then land inside that file.
// stdin_closed tells whether descriptor 0 was one of them.
int open_closed_standard_descriptors(bool& stdin_closed) {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    if (fd == STDIN_FILENO) stdin_closed = true;
    // The lowest free descriptor is taken: fd itself.
    if (::open("/dev/null", O_RDWR) != fd) {
      std::printf("cannot open /dev/null\n");
      return ERROR;
    }
  }
  return OK;
}

// names_standard_input() : true when name leads to the program's own
// descriptor 0 (/dev/stdin, /dev/fd/0, /proc/self/fd/0, /proc/<pid>/fd/0, or
// a symbolic link to one of them). Decided by the name alone: a closed
// descriptor 0 has been opened on /dev/null, so the file it refers to cannot
// tell /dev/stdin from /dev/null. The links are followed one at a time,
// because the last one, descriptor 0's own, leads to /dev/null.
bool names_standard_input(std::string name) {
  const std::string own_fd = "/proc/" + std::to_string(getpid()) + "/fd";
  const std::string own_task_fd = "/proc/" + std::to_string(getpid()) + "/task/" +
                                  std::to_string(getpid()) + "/fd";
  for (int links = 0; links <= 40; ++links) {
    const size_t slash = name.rfind('/');
    const std::string directory =
        slash == std::string::npos ? "." : slash == 0 ? "/" : name.substr(0, slash);
    const std::string last = slash == std::string::npos ? name : name.substr(slash + 1);
    char resolved[PATH_MAX];
    if (realpath(directory.c_str(), resolved) == nullptr) return false;
    const std::string real_directory = resolved;
    if (last == "0" && (real_directory == own_fd || real_directory == own_task_fd)) return true;
    char target[PATH_MAX];
    const ssize_t length = readlink(name.c_str(), target, sizeof target - 1);
    if (length < 0) return false;  // not a symbolic link: a file of its own
    target[length] = '\0';
    name = target[0] == '/' ? std::string(target)
                            : (real_directory == "/" ? "" : real_directory) + "/" + target;
  }
  return false;
}

// An allocation failure is reported by throwing std::bad_alloc, and the
// exception needs memory of its own: when malloc fails, the C++ library takes
// it from a reserve set aside at startup, which is missing when memory was
// already short then. So the program keeps a reserve of its own and gives it
// back when an allocation first fails, before the allocation is tried again
// and the exception thrown.
constexpr size_t MEMORY_RESERVE = 128 * 1024;
void* memory_reserve = nullptr;

void release_memory_reserve() {
  std::free(memory_reserve);
  memory_reserve = nullptr;
  std::set_new_handler(nullptr);
}

// Every object is created before the files are opened, so that a run that
// cannot get its memory leaves no output behind. converting tells whether a
// conversion had started when a failure ends the run.
int run(const std::string& option, const std::string& input_name,
        const std::string& output_name, bool stdin_closed, bool& converting) {
  auto input = std::make_unique<Cfile>();
  auto output = std::make_unique<Cfile>();
  auto converter = std::make_unique<Cconverter>();
  const bool from_text = option == "-t2b";
  if ((from_text ? input->fopen_r(input_name) : input->fopen_rb(input_name)) == ERROR) return -1;
  // /dev/stdin of a caller that closed it would read as an empty file.
  if (stdin_closed && names_standard_input(input_name)) {
    std::printf("%s is the standard input, which is closed\n", input_name.c_str());
    std::printf("cannot open %s\n", input_name.c_str());
    return -1;
  }
  if ((from_text ? output->fopen_wb(output_name) : output->fopen_w(output_name)) == ERROR)
    return -1;

  converter->set_file(input.get(), "in");
  converter->set_file(output.get(), "out");
  converting = true;

  int result = ERROR;
  if (option == "-b2rb")
    result = converter->convert_binary_to_readable_binary();
  else if (option == "-b2t")
    result = converter->convert_binary_to_txt();
  else
    result = converter->convert_txt_to_binary();
  // A text line that could not be read ends the run with status 1; the
  // output keeps what was written, as the objects are dropped on the way out.
  if (result == READ_FAILED) {
    std::printf("fgets error");
    return 1;
  }
  if (result == ERROR) {
    std::puts("convertion did not finish normaly");
    return -1;
  }

  converter.reset();
  // Success is only what reached the file: the last buffered bytes are
  // written when the output is closed, and may still fail there.
  if (output->close() == ERROR) {
    std::puts("convertion did not finish normaly");
    return -1;
  }
  output.reset();
  input.reset();
  std::puts("\n conversion is done!!\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  bool stdin_closed = false;
  if (open_closed_standard_descriptors(stdin_closed) == ERROR) return -1;
  memory_reserve = std::malloc(MEMORY_RESERVE);
  if (memory_reserve == nullptr) {
    std::puts("out of memory");
    return -1;
  }
  std::set_new_handler(release_memory_reserve);
  bool converting = false;
  // No allocation failure escapes: it ends the run like any other failure.
  try {
    std::string option;
    std::string input_name;
    std::string output_name;
    if (check_arguments(argc, argv, option, input_name, output_name) == ERROR) return -1;
    return run(option, input_name, output_name, stdin_closed, converting);
  } catch (const std::bad_alloc&) {
    std::puts("out of memory");
    if (converting) std::puts("convertion did not finish normaly");
    return -1;
  }
}
