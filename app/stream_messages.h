#pragma once
// StreamMessages: the engine's messages where no box can be shown (a batch
// run without a display, or without a desktop the user sees): each written
// to a stream as one line (ConsoleLine), "veldar2: " and the message in the
// user's language. A question is answered Cancel: nobody is there to answer
// it.

#include <functional>
#include <mutex>
#include <ostream>
#include <string>

#include "engine/user_messages.h"
#include "res/language.h"

namespace veldar {

class StreamMessages : public UserMessages {
 public:
  StreamMessages(std::ostream& out, Language language) : out_(out), language_(language) {}

  void Show(const std::string& text) override;
  bool AskOkCancel(const std::string& text) override;

  Language language() const { return language_; }

  // Makes the line of a message; not set: `MessageLine`. A batch run sets it
  // for as long as it goes, to name the path and the system's reason in the
  // line of the message that reports a failure.
  std::function<std::string(const std::string& text)> describe;
  // Held while a line is written, when set: another writer (a progress line)
  // shares the stream.
  std::mutex* streamMutex = nullptr;
  // Written before each line: what blanks a progress line drawn on the
  // terminal, so that the message starts on a clean line.
  std::string clearLine;

 private:
  std::ostream& out_;
  Language language_;
};

// `text` as the program's line on standard error: "veldar2: ", the text with
// its control characters escaped as the log escapes them (EscapeLogText), so
// that no name or typed path in it can move the cursor, retitle or clear the
// terminal, or begin a line of its own; then the line end.
std::string ConsoleLine(const std::string& text);

// A message (perhaps of several lines) in `language` on one line: its lines
// joined with ": ", or a blank after a sentence's end.
std::string MessageLine(const std::string& text, Language language);

// The lines of `text` on one line, as `MessageLine` joins them, untranslated.
std::string JoinedLines(const std::string& text);

// Appends `next` to `line` as `MessageLine` joins lines.
void JoinMessageLine(std::string& line, const std::string& next);

}  // namespace veldar
