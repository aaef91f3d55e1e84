// The program's messages: standard output, or the catcher of the thread that
// says them.
#include "messages.h"

#include <cstdarg>
#include <cstdio>

namespace {

thread_local Message_catcher* catcher = nullptr;

}  // namespace

Message_catcher::Message_catcher() : m_outer(catcher) { catcher = this; }

Message_catcher::~Message_catcher() { catcher = m_outer; }

void say(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  if (catcher == nullptr) {
    std::vprintf(format, arguments);
    va_end(arguments);
    return;
  }
  va_list again;
  va_copy(again, arguments);
  const int length = std::vsnprintf(nullptr, 0, format, arguments);
  va_end(arguments);
  if (length > 0) {
    std::string& text = catcher->m_text;
    const size_t at = text.size();
    text.resize(at + static_cast<size_t>(length) + 1);
    std::vsnprintf(&text[at], static_cast<size_t>(length) + 1, format, again);
    text.resize(at + static_cast<size_t>(length));
  }
  va_end(again);
}

void say_line(const char* text) {
  if (catcher == nullptr) {
    std::puts(text);
    return;
  }
  catcher->m_text += text;
  catcher->m_text += '\n';
}

void say_progress(const char* format, ...) {
  if (catcher != nullptr) return;
  va_list arguments;
  va_start(arguments, format);
  std::vprintf(format, arguments);
  va_end(arguments);
}

void say_step(const char* name) {
  if (catcher == nullptr) std::puts(name);
}
