// The message list model: the fuzz bytes are a run of publications (rows of
// up to four accounts: messages in folders, status rows, some with the
// server's words) and settings changes, each followed by a rebuild. A wrong
// answer stops the run: blocks out of account order or without their header
// row first, a list taller than its window, a list that differs from the one
// a fresh model builds from the same rows (the incremental edits went wrong),
// while nothing is left out an account with messages in its watched folders,
// and no status row, that shows fewer rows (unless its panel shows senders or
// counts only), or a row with a text that the account's level hides.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "checking/check_cycle.h"
#include "checking/checker_rows.h"
#include "checking/message_queue.h"
#include "common/status_words.h"
#include "message_list/message_list.h"
#include "settings/accounts.h"

using namespace brivane;

namespace {

[[noreturn]] void fail(const char* why) {
  std::fprintf(stderr, "wrong answer: %s\n", why);
  std::abort();
}

class Rows : public RowList {
 public:
  int count() const override { return static_cast<int>(rows_.size()); }
  const std::string& text(int i) const override { return ok(i) ? rows_[i].first : empty_; }
  int tag(int i) const override { return ok(i) ? rows_[i].second : -1; }
  void insert(int i, std::string text, int tag) override {
    i = std::clamp(i, 0, count());
    rows_.insert(rows_.begin() + i, {std::move(text), tag});
  }
  void replace(int i, std::string text, int tag) override {
    if (ok(i)) rows_[i] = {std::move(text), tag};
  }
  void remove(int i) override {
    if (ok(i)) rows_.erase(rows_.begin() + i);
  }
  void clear() override { rows_.clear(); }
  int rowBottom(int i) const override { return (std::min(i, count() - 1) + 1) * 14; }
  int rowHeight(int i) const override { return ok(i) ? 14 : 0; }
  int measureRow(std::string_view) override { return 14; }
  int clientWidth() const override { return 334; }
  void beginUpdate() override {}
  void endUpdate() override {}
  const std::vector<std::pair<std::string, int>>& all() const { return rows_; }

 private:
  bool ok(int i) const { return i >= 0 && i < count(); }
  std::vector<std::pair<std::string, int>> rows_;
  std::string empty_;
};

class Host : public MessagePanelHost {
 public:
  int clientHeight() const override { return 768; }
  int panelTop() const override { return 60; }
  int panelHeight() const override { return height; }
  void setPanelHeight(int h) override { height = h; }
  int panelFrameHeight() const override { return 16; }
  void requestMove() override {}
  int height = 400;
};

struct Rig {
  Rows rows;
  Host host;
  FixedMetrics metrics;
  MessageListModel model{rows, host, metrics, MessageListFonts::from({"", 9, false, false})};
  explicit Rig(const SaverSettings& settings) {
    model.setClock([] { return int64_t{1765450890}; });
    model.setShortDate([](int64_t t) { return std::to_string(t); });
    model.setSettings(settings);
  }
};

const char* const kFolders[] = {"INBOX", "Lists/dev", " archive ", ("Entw\xC3\xBC" "rfe"), "Other"};
const char* const kCodes[] = {status::kQueued, status::kConnecting, status::kChecking, status::kNoMsg,
                              status::kErrConn, status::kInvUserPass, status::kNoFolders, "BOGUS"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  size_t at = 0;
  auto next = [&]() -> uint8_t { return at < size ? data[at++] : 0; };
  MessageQueue target;
  CheckCycle cycle(target);
  SaverSettings settings;
  const uint8_t options = next();
  settings.hideAccounts = options & 1;
  settings.hideFolders = options & 2;
  settings.displayMsgDate = options & 4;
  settings.displayMsgPreview = options & 8;
  const int accounts = 1 + next() % 4;
  for (int i = 0; i < accounts; ++i) {
    TEmlAccount a;
    a.name = "Account " + std::to_string(i);
    a.server = "mail" + std::to_string(i) + ".example";
    const uint8_t kind = next();
    a.isPOP = kind & 1;
    a.panelPrivacy = static_cast<PanelPrivacy>((kind >> 1) & 3);
    if (!a.isPOP) a.folders = {"INBOX;Inbox", "Lists/dev;Dev", "Archive;Old", "Entw\xC3\xBC" "rfe;Drafts"};
    cycle.Accounts.push_back(a);
  }
  Rig rig(settings);
  rig.model.FillInitialList(cycle.Accounts);

  std::vector<bool> published(accounts, false);
  int steps = 0;
  while (at < size && ++steps <= 64) {
    const uint8_t op = next();
    const int account = op % accounts;
    if ((op >> 2) % 8 == 7) {  // a rebuild after the first cycle
      cycle.firstCycle = false;
    } else {
      std::erase_if(cycle.resultList, [&](const MessageSummary& m) { return m.accountIndex == account; });
      published[account] = true;
      const int count = 1 + (op >> 5) % 8;  // a checker publishes at least one row
      for (int k = 0; k < count; ++k) {
        const uint8_t b = next();
        if (b % 16 == 15) {  // a status row, sometimes with the server's words
          const char* code = kCodes[(b >> 4) % 8];
          const RowKind kind = code == status::kNoMsg ? RowKind::NoMessages
                               : (b >> 4) % 8 < 3  ? RowKind::Progress
                                                    : RowKind::Error;
          cycle.resultList.push_back(statusRow(code, kind, account, b & 0x80 ? "[IN-USE] <b>&busy" : ""));
          continue;
        }
        MessageSummary m;
        m.accountIndex = account;
        m.setSender(b & 1 ? "Ann <a@x>" : "Bob & Co");
        m.setSubject("Subject " + std::to_string(next()));
        m.setFolder(kFolders[(b >> 1) % 5]);
        m.received = 1765450890 - static_cast<int64_t>(next()) * 3600;
        if (b & 0x80) m.setPreview("preview text of the message");
        cycle.resultList.push_back(m);
      }
      cycle.Accounts[account].hasMessages = (op & 2) != 0;
    }
    cycle.listChanged = 1;
    rig.model.RebuildList(cycle);

    // Blocks in account order, each opened by its header row.
    int last = -1;
    for (const auto& [text, tag] : rig.rows.all()) {
      if (tag < last) fail("blocks out of account order");
      last = tag;
    }
    // The list fits the window; while nothing had to be left out, every
    // message of a watched folder gets a row when no status row hides it.
    if (rig.rows.count() * 14 + 2 + 16 > 768 - 20 && rig.rows.count() > 1) fail("the list is taller than its window");
    bool cut = false;
    for (const auto& [text, tag] : rig.rows.all()) cut |= text.find("... and ") != std::string::npos;
    for (int i = 0; i < accounts && !cut; ++i) {
      size_t messages = 0;
      bool status = false;
      std::vector<std::string> watched = cycle.Accounts[i].folders;
      if (cycle.Accounts[i].isPOP && watched.empty()) watched = {"INBOX;Inbox"};
      for (const MessageSummary& m : cycle.resultList) {
        if (m.accountIndex != i) continue;
        status |= m.isStatus();
        if (m.isStatus()) continue;
        for (const std::string& f : watched) messages += folderKey(FolderPath(f)) == folderKey(m.folder);
      }
      // What the account's level hides never reaches its rows.
      const PanelPrivacy level = cycle.Accounts[i].panelPrivacy;
      for (const auto& [text, tag] : rig.rows.all()) {
        if (tag != i) continue;
        if (level >= PanelPrivacy::NoPreviews && text.find("preview text") != std::string::npos) fail("a hidden preview");
        if (level >= PanelPrivacy::SendersOnly && text.find("Subject ") != std::string::npos) fail("a hidden subject");
        if (level >= PanelPrivacy::CountsOnly && text.find("Ann") != std::string::npos) fail("a hidden sender");
      }
      if (status || level >= PanelPrivacy::SendersOnly) continue;
      int shown = 0;
      for (const auto& [text, tag] : rig.rows.all()) shown += tag == i;
      if (static_cast<size_t>(shown) < messages) fail("fewer rows than messages in watched folders");
    }
    // The same rows from scratch give the same list, once every account has
    // published and none is in progress (a progress row keeps what a block
    // showed, by design).
    bool settled = true;
    for (int i = 0; i < accounts; ++i) settled &= published[i];
    for (const MessageSummary& m : cycle.resultList)
      settled &= m.kind != RowKind::Progress && m.kind != RowKind::Queued;
    if (!settled) continue;
    Rig fresh(settings);
    fresh.model.FillInitialList(cycle.Accounts);
    CheckCycle copy(target);
    copy.Accounts = cycle.Accounts;
    copy.resultList = cycle.resultList;
    copy.firstCycle = cycle.firstCycle;
    copy.listChanged = 1;
    fresh.model.RebuildList(copy);
    if (fresh.rows.all() != rig.rows.all()) {
      for (const auto& [text, tag] : rig.rows.all()) std::fprintf(stderr, "edited %d %s\n", tag, text.c_str());
      for (const auto& [text, tag] : fresh.rows.all()) std::fprintf(stderr, "fresh  %d %s\n", tag, text.c_str());
      fail("the edited list differs from a fresh one");
    }
  }
  return 0;
}
