#include "app/generation_list.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <ctime>

#include "engine/run_progress.h"
#include "engine/utf8.h"
#include "res/translation.h"

namespace veldar {
namespace {

// A state's words: for people (translated) and in the JSON.
struct StateWords {
  const char* text;
  const char* json;
};

StateWords WordsOf(GenerationListRow::State state) {
  switch (state) {
    case GenerationListRow::State::kComplete: return {"完了", "complete"};
    case GenerationListRow::State::kIncomplete: return {"未完了", "incomplete"};
    case GenerationListRow::State::kWorking: break;
  }
  return {"中断（作業ディレクトリ）", "interrupted"};
}

std::string HexByte(unsigned char byte, const char* format) {
  char text[8];
  std::snprintf(text, sizeof text, format, byte);
  return text;
}

// A name for a terminal: valid UTF-8 as it is, every other byte and every
// control character as \xNN, so that no name can move the cursor or garble
// the line.
std::string PrintableName(const std::string& name) {
  std::string text;
  for (std::size_t i = 0; i < name.size();) {
    const std::size_t length = Utf8CharLength(name, i);
    const auto byte = static_cast<unsigned char>(name[i]);
    if (length == 0 || byte < 0x20 || byte == 0x7f) {
      text += HexByte(byte, "\\x%02X");
      ++i;
    } else {
      text.append(name, i, length);
      i += length;
    }
  }
  return text;
}

// `text` as a JSON string, quotes included; a byte that is no UTF-8 becomes
// U+FFFD. Sets `*exact` to whether nothing had to be replaced.
std::string JsonString(const std::string& text, bool* exact) {
  std::string json = "\"";
  *exact = true;
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = Utf8CharLength(text, i);
    const auto byte = static_cast<unsigned char>(text[i]);
    if (length == 0) {
      json += "\xEF\xBF\xBD";
      *exact = false;
      ++i;
      continue;
    }
    if (byte == '"' || byte == '\\') {
      json += '\\';
      json += static_cast<char>(byte);
    } else if (byte == '\n') {
      json += "\\n";
    } else if (byte == '\t') {
      json += "\\t";
    } else if (byte == '\r') {
      json += "\\r";
    } else if (byte < 0x20 || byte == 0x7f) {
      json += HexByte(byte, "\\u%04x");
    } else {
      json.append(text, i, length);
    }
    i += length;
  }
  return json + "\"";
}

std::string Pad(const std::string& text, std::size_t width, bool right) {
  const std::size_t columns = static_cast<std::size_t>(TextColumns(text));
  const std::string blanks(width > columns ? width - columns : 0, ' ');
  return right ? blanks + text : text + blanks;
}

}  // namespace

std::string GenerationListText(const std::vector<GenerationListRow>& rows, const TimeText& time,
                               Language language) {
  const auto say = [language](const char* japanese) { return Translate(language, japanese); };
  if (rows.empty()) return say("世代はありません") + "\n";
  constexpr std::size_t kColumns = 6;
  constexpr bool kRight[kColumns] = {true, false, true, true, false, false};
  std::vector<std::array<std::string, kColumns>> table;
  table.push_back({say("番号"), say("完了日時"), say("ファイル数"), say("サイズ"), say("状態"), say("名前")});
  for (const GenerationListRow& row : rows) {
    table.push_back({row.number > 0 ? std::to_string(row.number) : "-", row.completed ? time(*row.completed) : "-",
                     std::to_string(row.files), HumanBytes(row.bytes), say(WordsOf(row.state).text),
                     PrintableName(row.name)});
  }
  std::array<std::size_t, kColumns> widths{};
  for (const auto& line : table) {
    for (std::size_t c = 0; c < kColumns; ++c)
      widths[c] = std::max(widths[c], static_cast<std::size_t>(TextColumns(line[c])));
  }
  std::string text;
  for (const auto& line : table) {
    for (std::size_t c = 0; c + 1 < kColumns; ++c) text += Pad(line[c], widths[c], kRight[c]) + "  ";
    text += line[kColumns - 1] + "\n";
  }
  return text;
}

std::string GenerationListJson(const std::vector<GenerationListRow>& rows, const TimeText& time) {
  std::string json;
  for (const GenerationListRow& row : rows) {
    bool exact = true;
    json += "{\"number\":" + (row.number > 0 ? std::to_string(row.number) : std::string("null"));
    json += ",\"name\":" + JsonString(row.name, &exact);
    if (!exact) {
      json += ",\"name_hex\":\"";
      for (char c : row.name) json += HexByte(static_cast<unsigned char>(c), "%02x");
      json += '"';
    }
    bool ignored;
    json += ",\"completed\":" + (row.completed ? JsonString(time(*row.completed), &ignored) : std::string("null"));
    json += ",\"completed_unix\":" + (row.completed ? std::to_string(*row.completed) : std::string("null"));
    json += ",\"files\":" + std::to_string(row.files) + ",\"bytes\":" + std::to_string(row.bytes);
    json += ",\"state\":\"" + std::string(WordsOf(row.state).json) + "\"}\n";
  }
  return json;
}

std::string IsoLocalTime(std::int64_t seconds) {
  const auto time = static_cast<std::time_t>(seconds);
  std::tm local{};
#ifdef _WIN32
  const bool converted = localtime_s(&local, &time) == 0;
#else
  const bool converted = localtime_r(&time, &local) != nullptr;
#endif
  if (!converted) return std::to_string(seconds);
  // The offset from UTC: the local fields read as a UTC time, less the time.
  using namespace std::chrono;
  const sys_days day{year(local.tm_year + 1900) / month(static_cast<unsigned>(local.tm_mon + 1)) /
                     static_cast<unsigned>(local.tm_mday)};
  const std::int64_t asUtc = day.time_since_epoch().count() * 86400LL + local.tm_hour * 3600 + local.tm_min * 60 +
                             local.tm_sec;
  const std::int64_t offset = (asUtc - seconds) / 60;
  const std::int64_t magnitude = offset < 0 ? -offset : offset;
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d%c%02lld:%02lld", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, offset < 0 ? '-' : '+',
                static_cast<long long>(magnitude / 60), static_cast<long long>(magnitude % 60));
  return text;
}

}  // namespace veldar
