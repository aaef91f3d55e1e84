// Mapped_window: bytes of a file read where the file lies in memory (mmap),
// without a copy. A file cut short by another process while its window is
// read would stop the process (SIGBUS) at the first page past its new end:
// a guard puts zero pages there instead, and the window tells it was cut,
// so that the read fails as a read rather than taking the zeros for data.
#ifndef MAPPED_WINDOW_H
#define MAPPED_WINDOW_H

#include <cstddef>
#include <cstdint>

class Mapped_window {
 public:
  Mapped_window() = default;
  ~Mapped_window() { unmap(); }
  Mapped_window(const Mapped_window&) = delete;
  Mapped_window& operator=(const Mapped_window&) = delete;

  // map() : length bytes of the file fd from offset (a multiple of the page
  // size) on, in place of what was mapped; false, with nothing mapped, when
  // the file cannot be mapped or every guard is taken.
  bool map(int fd, int64_t offset, size_t length);
  void unmap();
  const char* data() const { return m_data; }
  // cut() : the file was cut short under the window while it was read.
  bool cut() const;

 private:
  char* m_data = nullptr;
  size_t m_length = 0;
  int m_guard = -1;
};

#endif
