#include "config_ui/folder_list_rules.h"

#include <algorithm>

#include "markup/markup_parser.h"
#include "settings/accounts.h"

namespace brivane {

bool IsValidPort(const std::string& text) {
  if (text.empty() || text.size() > 5) return false;
  if (!std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) return false;
  const int value = std::stoi(text);
  return value >= 1 && value <= 65535;
}

bool DetailsComplete(const std::string& server, const std::string& username, const std::string& password,
                     const std::string& port) {
  return server.find('.') != std::string::npos && !username.empty() && !password.empty() && IsValidPort(port);
}

std::string PortAfterEncryptionChange(bool isPOP, Encryption from, Encryption to, const std::string& port) {
  const bool toTls = to == Encryption::Tls && from != Encryption::Tls;
  const bool fromTls = from == Encryption::Tls && to != Encryption::Tls;
  if (isPOP) {
    if (toTls && port == "110") return "995";
    if (fromTls && (port == "995" || port == "992")) return "110";
  } else {
    if (toTls && port == "143") return "993";
    if (fromTls && port == "993") return "143";
  }
  return port;
}

std::string PortAfterTypeChange(bool toPOP, Encryption mode, const std::string& port) {
  const bool secure = mode == Encryption::Tls;
  if (toPOP) {
    if (port == "143") return "110";
    if (secure && port == "993") return "995";
  } else {
    if (port == "110") return "143";
    if (secure && (port == "995" || port == "992")) return "993";
  }
  return port;
}

namespace {
bool isInbox(const std::string& leaf) {
  if (leaf.size() != 5) return false;
  return std::equal(leaf.begin(), leaf.end(), "INBOX",
                    [](char a, char b) { return (a >= 'a' && a <= 'z' ? a - 32 : a) == b; });
}
}  // namespace

std::vector<FolderRow> FolderRowsFromPaths(std::vector<std::string> paths) {
  std::sort(paths.begin(), paths.end());
  std::vector<FolderRow> rows;
  rows.reserve(paths.size());
  size_t autoTicks = 0;
  for (std::string& path : paths) {
    FolderRow row;
    const size_t depth = std::count(path.begin(), path.end(), '.');
    const size_t dot = path.rfind('.');
    row.caption = dot == std::string::npos ? path : path.substr(dot + 1);
    if (isInbox(row.caption)) row.caption = "Inbox";
    row.ticked = row.caption == "Inbox" && autoTicks < kMaxAutoTicks;
    if (row.ticked) ++autoTicks;
    std::string shown = row.caption;  // control characters never reach a row
    std::replace_if(shown.begin(), shown.end(), [](char c) { return (c >= 0 && c < 0x20) || c == 0x7F; }, ' ');
    row.markup = "<ind x=\"" + std::to_string(12 * depth) + "\"><IMG src=\"idx:0\" align=\"middle\"> " +
                 EscapeMarkup(shown);
    row.path = std::move(path);
    rows.push_back(std::move(row));
  }
  return rows;
}

void RestoreTicks(std::vector<FolderRow>& rows, const std::vector<std::string>& selection) {
  for (FolderRow& row : rows) row.ticked = false;
  for (const std::string& entry : selection) {
    const std::string path = FolderPath(entry);
    auto it = std::find_if(rows.begin(), rows.end(), [&](const FolderRow& r) { return r.path == path; });
    if (it != rows.end()) it->ticked = true;
  }
}

void ApplyTicks(std::vector<FolderRow>& rows, const std::optional<std::vector<std::string>>& shown,
                const std::vector<std::string>& stored) {
  if (shown) RestoreTicks(rows, *shown);
  else if (!stored.empty()) RestoreTicks(rows, stored);
}

std::vector<std::string> SelectionWithoutList(const std::optional<std::vector<std::string>>& shown,
                                              const std::vector<std::string>& stored) {
  if (shown) return *shown;
  if (!stored.empty()) return stored;
  return {kInboxSelection};
}

std::vector<std::string> SelectionFromRows(const std::vector<FolderRow>& rows, const std::vector<bool>& ticked) {
  std::vector<std::string> selection;
  for (size_t i = 0; i < rows.size() && i < ticked.size(); ++i)
    if (ticked[i]) selection.push_back(rows[i].path + ";" + rows[i].caption);
  return selection;
}

}  // namespace brivane
