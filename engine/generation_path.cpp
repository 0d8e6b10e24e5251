#include "engine/generation_path.h"

#include <algorithm>

#include "log/activity_log.h"
#include "res/translation.h"

namespace veldar {

bool SplitGenerationPath(const std::string& path, std::vector<std::string>* names, std::string* error,
                         Language language) {
  names->clear();
  const char* reason = nullptr;
  std::string rest = path;
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  if (std::any_of(path.begin(), path.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; })) {
    reason = "制御文字を含んでいます";
  } else if (path.find('\\') != std::string::npos) {
    reason = "名前の区切りは / です（\\ は使えません）";
  } else if (rest.empty()) {
    reason = "名前がありません";
  } else if (rest.front() == '/') {
    reason = "元からの相対パスを書きます（/ で始めません）";
  }
  for (std::size_t start = 0; !reason;) {
    const std::size_t slash = rest.find('/', start);
    const std::string name = rest.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    if (name.empty()) {
      reason = "空の名前 (//) があります";
    } else if (name == "." || name == "..") {
      reason = ". や .. は使えません";
    } else {
      names->push_back(name);
    }
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  if (!reason) {
    error->clear();
    return true;
  }
  names->clear();
  *error =
      FormatText(Translate(language, "パス「%1」は使えません: %2"), {EscapeLogText(path), Translate(language, reason)});
  return false;
}

Status WalkGenerationPath(OsDir& root, const std::vector<std::string>& names, std::unique_ptr<OsDir>* parent,
                          FileStatus* status) {
  parent->reset();
  if (names.empty()) return root.Stat(status);
  OsDir* at = &root;
  for (std::size_t i = 0; i + 1 < names.size(); ++i) {
    std::unique_ptr<OsDir> below;
    if (Status code = at->OpenDir(names[i], &below); !code.ok()) return code;
    *parent = std::move(below);
    at = parent->get();
  }
  return at->StatAt(names.back(), status);
}

}  // namespace veldar
