#include "ui/dialog_window.h"

namespace veldar {

std::vector<FileType> ParseFileFilter(const std::string& filter) {
  std::vector<std::string> fields;
  for (std::size_t start = 0; start < filter.size();) {
    const std::size_t bar = filter.find('|', start);
    std::string field = filter.substr(start, bar == std::string::npos ? std::string::npos : bar - start);
    if (field.empty()) break;  // "||" ends the filter
    fields.push_back(std::move(field));
    if (bar == std::string::npos) break;
    start = bar + 1;
  }
  std::vector<FileType> types;
  for (std::size_t i = 0; i + 1 < fields.size(); i += 2) types.push_back({fields[i], fields[i + 1]});
  return types;
}

void DialogLogic::OnCommand(int id) {
  if (id == IDC_OK || id == IDC_CANCEL) window().EndDialog(id);
}

}  // namespace veldar
