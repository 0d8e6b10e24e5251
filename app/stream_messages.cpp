#include "app/stream_messages.h"

#include "log/activity_log.h"
#include "res/translation.h"

namespace veldar {

std::string ConsoleLine(const std::string& text) { return "veldar2: " + EscapeLogText(text) + "\n"; }

void JoinMessageLine(std::string& line, const std::string& next) {
  if (next.empty()) return;
  if (line.empty()) {
    line = next;
    return;
  }
  const bool sentenceEnds = line.back() == '.' || line.back() == ':' || line.back() == ' ' ||
                            (line.size() >= 3 && line.compare(line.size() - 3, 3, "。") == 0);
  if (line.back() != ' ') line += sentenceEnds ? " " : ": ";
  line += next;
}

std::string JoinedLines(const std::string& text) {
  std::string line;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t end = text.find('\n', start);
    JoinMessageLine(line, text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return line;
}

std::string MessageLine(const std::string& text, Language language) {
  return JoinedLines(TranslateMessage(language, text));
}

void StreamMessages::Show(const std::string& text) {
  const std::string line = describe ? describe(text) : MessageLine(text, language_);
  std::unique_lock<std::mutex> lock;
  if (streamMutex) lock = std::unique_lock<std::mutex>(*streamMutex);
  out_ << clearLine << ConsoleLine(line) << std::flush;
}

bool StreamMessages::AskOkCancel(const std::string& text) {
  Show(text);
  return false;
}

}  // namespace veldar
