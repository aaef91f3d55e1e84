// Where the program's messages go: standard output, in order, as they are
// said. A caller that must print nothing (the Python module, which has every
// failure as data) silences them for a while.
#ifndef MESSAGES_H
#define MESSAGES_H

// say() : printf() to standard output.
void say(const char* format, ...) __attribute__((format(printf, 1, 2)));
// say_line() : puts(): the text and a newline.
void say_line(const char* text);
// say_step() : the name of a step that failed, said as a line after the
// message that says why.
void say_step(const char* name);

// Quiet_messages: while one lives, nothing said on its thread is printed.
class Quiet_messages {
 public:
  Quiet_messages();
  ~Quiet_messages();
  Quiet_messages(const Quiet_messages&) = delete;
  Quiet_messages& operator=(const Quiet_messages&) = delete;

 private:
  bool m_outer;
};

#endif
