// Where the program's messages go. The command line prints them on standard
// output, in order, as they are said; a caller that must print nothing (the
// Python module) catches them instead, as text it can turn into an error.
#ifndef MESSAGES_H
#define MESSAGES_H

#include <string>

// say() : printf() to standard output, or into this thread's catcher.
void say(const char* format, ...) __attribute__((format(printf, 1, 2)));
// say_line() : puts(): the text and a newline.
void say_line(const char* text);
// say_step() : the name of a step that failed, said as a line after the
// message that says why; a catcher drops it, the reason being said already.
void say_step(const char* name);
// say_progress() : say() for a message that only tells how far a run has
// come; a catcher drops it.
void say_progress(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Message_catcher: while one lives, what is said on its thread is kept in
// text() and not printed (step names and progress are dropped); the newest
// catcher of a thread takes it.
class Message_catcher {
 public:
  Message_catcher();
  ~Message_catcher();
  Message_catcher(const Message_catcher&) = delete;
  Message_catcher& operator=(const Message_catcher&) = delete;

  const std::string& text() const { return m_text; }
  void clear() { m_text.clear(); }

 private:
  friend void say(const char* format, ...);
  friend void say_line(const char* text);
  std::string m_text;
  Message_catcher* m_outer;
};

#endif
