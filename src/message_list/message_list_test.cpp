#include "message_list/message_list.h"

#include <gtest/gtest.h>

#include <mutex>

#include "checking/check_cycle.h"
#include "checking/message_queue.h"
#include "common/status_words.h"
#include "markup/markup_parser.h"
#include "message_list/list_markup.h"

namespace brivane {
namespace {

using Rows = std::vector<std::string>;

constexpr int64_t kNow = 1765450890;

// The model over a list with fixed metrics (6 pixels a character at 9
// points), rows laid out as the rich list box lays them out, in a panel 60
// pixels from the top of a window 768 pixels high.
struct ListRig : RowList, MessagePanelHost {
  explicit ListRig(int width = 334, const std::function<void(SaverSettings&)>& configure = {}) : width(width) {
    pictures.imageCount = 6;
    pictures.addPicture("hrfullwide", {334, 4});
    model.setClock([] { return kNow; });
    model.setShortDate([](int64_t t) { return "date:" + std::to_string(t); });
    settings.displayMsgDate = false;
    if (configure) configure(settings);
    model.setSettings(settings);
  }
  int count() const override { return static_cast<int>(rows.size()); }
  const std::string& text(int i) const override { return ok(i) ? rows[i].first : empty; }
  int tag(int i) const override { return ok(i) ? rows[i].second : -1; }
  void insert(int i, std::string text, int tag) override {
    EXPECT_GT(updating, 0) << "rows change only inside an update";
    rows.insert(rows.begin() + std::clamp(i, 0, count()), {std::move(text), tag}), ++edits;
  }
  void replace(int i, std::string text, int tag) override { rows.at(i) = {std::move(text), tag}, ++edits; }
  void remove(int i) override { ASSERT_TRUE(ok(i)); rows.erase(rows.begin() + i), ++edits; }
  void clear() override { rows.clear(); }
  int rowHeight(int i) const override { return ok(i) ? layout(i).listRowHeight() : 0; }
  int rowBottom(int i) const override { return i < 0 ? 0 : rowBottom(i - 1) + rowHeight(i); }
  int measureRow(std::string_view text) override {
    return layoutMarkup(text, {.font = {}, .pictureScale = scale, .width = width}, pictures, metrics).listRowHeight();
  }
  int clientWidth() const override { return width; }
  void beginUpdate() override { ++updating; }
  void endUpdate() override { --updating; }
  int clientHeight() const override { return client; }
  int panelTop() const override { return 60; }
  int panelHeight() const override { return height; }
  void setPanelHeight(int h) override { height = h; }
  int panelFrameHeight() const override { return 16; }
  void requestMove() override { ++moves, onMove ? onMove() : void(); }

  bool ok(int i) const { return i >= 0 && i < count(); }
  RowLayout layout(int i) const {
    return layoutMarkup(rows[i].first, {.font = {}, .pictureScale = scale, .width = width}, pictures, metrics);
  }
  // The rows as a reader sees them: laid-out text, lines joined by " | ".
  Rows plain() const {
    Rows out;
    for (int i = 0; i < count(); ++i) {
      std::string t = layout(i).plainText();
      for (size_t p; (p = t.find('\n')) != std::string::npos;) t.replace(p, 1, " | ");
      out.push_back(t);
    }
    return out;
  }
  std::vector<int> tags() const {
    std::vector<int> t;
    for (const auto& r : rows) t.push_back(r.second);
    return t;
  }
  TEmlAccount& account(const std::string& name, bool pop = false, Rows folders = {"INBOX;Inbox"}) {
    cycle.Accounts.push_back(
        {.name = name, .isPOP = pop, .username = "", .password = "", .server = "mail." + name + ".example", .folders = folders});
    return cycle.Accounts.back();
  }
  // As a checker publishes: a message drops its account's status row, a status row all its rows.
  void message(int account, std::string sender, std::string subject, int64_t when = 0, std::string folder = "INBOX",
               std::string preview = "") {
    std::erase_if(cycle.resultList, [&](const MessageSummary& m) { return m.accountIndex == account && m.isStatus(); });
    cycle.resultList.push_back({.sender = sender, .subject = subject, .preview = preview, .messageUid = "",
                                .received = when, .folder = folder, .accountIndex = account});
  }
  void status(int account, const char* code, RowKind kind, std::string detail = "") {
    std::erase_if(cycle.resultList, [&](const MessageSummary& m) { return m.accountIndex == account; });
    cycle.resultList.push_back(statusRow(code, kind, account, std::move(detail)));
  }
  Rows rebuild() {
    cycle.listChanged = 1;
    model.RebuildList(cycle);
    return plain();
  }

  int width, updating = 0, edits = 0, height = 400, moves = 0, client = 768;
  double scale = 1.0;  // pictures at logical dpi / 96
  std::vector<std::pair<std::string, int>> rows;
  const std::string empty;
  PictureCatalog pictures;
  std::function<void()> onMove;
  MessageQueue target;
  CheckCycle cycle{target};
  FixedMetrics metrics;
  SaverSettings settings;
  MessageListModel model{*this, *this, metrics, MessageListFonts::from({"", 9, false, false})};
};

TEST(MessageList, InitialListQueuesEveryAccountOrSaysNoneIsSetUp) {
  ListRig none;
  none.model.FillInitialList(none.cycle.Accounts);
  const Rows notSetUp = {"  You have not set up any mailboxes to check - | please configure accounts in the screensaver | "
                         "options dialog"};
  EXPECT_EQ(std::pair(none.plain(), none.tags()), std::pair(notSetUp, std::vector<int>{-1}));
  none.message(0, "Ann", "stray row");
  EXPECT_EQ(none.rebuild(), notSetUp) << "never changes";
  ListRig rig;
  for (const char* name : {"Home", "Work & Play"}) rig.account(name);
  rig.model.FillInitialList(rig.cycle.Accounts);
  const Rows queued = {"  Home", "  Queued for check", " |   Work & Play", "  Queued for check"};
  EXPECT_EQ(std::pair(rig.plain(), rig.tags()), std::pair(queued, std::vector{0, 0, 1, 1}));
  EXPECT_EQ(rig.text(2), "<BR>" + std::string(listmarkup::HeaderStart) + "Work &amp; Play" +
                                  std::string(listmarkup::HeaderEnd));
}

TEST(MessageList, SenderGroupsStandAtTheNewestMessageNewestFirst) {
  ListRig rig;
  rig.account("Home");
  const std::tuple<const char*, const char*, int> rows[] = {
      {"Bob", "first", 100}, {"Ann", "old", 50}, {"Bob", "newest", 300}, {"Bob", "middle", 200}, {"*****", "stars", 10}};
  for (const auto& [sender, subject, when] : rows) rig.message(0, sender, subject, when);  // "*****" is a sender like any other
  EXPECT_EQ(rig.rebuild(), (Rows{"  Home", " Inbox (5)", "- Bob (3) | newest", "middle", "first", "- Ann | old",
                                 "- ***** | stars"}));
}

// Folder blocks by caption, a path longer than any displayed width, and a
// POP3 account's rows with or without a folder.
TEST(MessageList, FoldersWithAndWithoutHideFolders) {
  for (bool hide : {true, false}) {
    ListRig rig(334, [&](SaverSettings& s) { s.hideFolders = hide; });
    rig.account("Home", false, {"INBOX;Inbox", " archive ; Old mail"});
    rig.message(0, "Ann", "kept", 0, "ARCHIVE");
    Rows expected{"  Home", " Old mail (1)", "- Ann | kept"};
    if (!hide) expected.insert(expected.begin() + 1, " Inbox (0)");
    EXPECT_EQ(rig.rebuild(), expected) << hide;
  }
  ListRig deep;
  const std::string path = "Lists/" + std::string(120, 'p');
  deep.account("Deep", false, {path + ";Deep"});
  deep.message(0, "Ann", "deep", 0, path);
  EXPECT_EQ(deep.rebuild(), (Rows{"  Deep", " Deep (1)", "- Ann | deep"}));
  ListRig pop;
  pop.account("Pop", true, {});
  pop.message(0, "Ann", "hello", 0, "");
  pop.message(0, "Cy", "again", 0, "INBOX");
  EXPECT_EQ(pop.rebuild(), (Rows{"  Pop", " Inbox (1)", "- Cy | again"}));
  EXPECT_EQ(pop.cycle.Accounts[0].folders, Rows{"INBOX;Inbox"});
}

// The subject starts after the 24 px indent and the icon (scaled with the
// dpi); its cut leaves at least a blank (6 px) before the time, which the
// right tab puts at the edge. Without dates it is cut 60 px short of the edge.
TEST(MessageList, MessageLinesCutTheSubjectABlankBeforeTheTime) {
  const std::tuple<int, double, bool, std::string> rows[] = {
      {200, 1.0, true, "a < b & c an...\t5 secs ago"}, {200, 2.0, true, "a < b & c...\t5 secs ago"},
      {600, 2.0, true, "a < b & c and a very long tail of words\t5 secs ago"},
      {200, 1.0, false, "a < b & c and a very..."}};
  for (const auto& [width, scale, dates, line] : rows) {
    ListRig rig(width, [&](SaverSettings& s) { s.displayMsgDate = dates; });
    rig.scale = scale, rig.model.setPictureScale(scale);
    rig.account("Home");
    rig.message(0, "AT&T <news@att.com>", "a < b & c and a very long tail of words", kNow - 5);
    EXPECT_EQ(rig.rebuild(), (Rows{"  Home", " Inbox (1)", "- AT&T <news@att.com> | " + line}));
    const auto& texts = rig.layout(2).texts;
    EXPECT_TRUE(!dates || texts[texts.size() - 2].x + texts[texts.size() - 2].width + 6 <= texts.back().x) << line;
  }
}

// The same messages a minute later: the rows say the new times (and only
// the rows whose time reads differently change).
TEST(MessageList, ShownTimesFollowTheClockWhenNothingElseChanged) {
  ListRig rig(334, [](SaverSettings& s) { s.displayMsgDate = true; });
  int64_t now = kNow;
  rig.model.setClock([&] { return now; });
  rig.account("Home");
  rig.message(0, "Ann", "one", kNow - 90);
  rig.message(0, "Bob", "two", kNow - 4 * 86400);
  rig.model.FillInitialList(rig.cycle.Accounts);
  EXPECT_EQ(rig.rebuild()[2], "- Ann | one\t1 mins ago");
  now += 60;
  rig.edits = 0;
  EXPECT_EQ(rig.rebuild()[2], "- Ann | one\t2 mins ago");
  EXPECT_EQ(rig.edits, 1);
}

// What an account shows at each level of privacy, with the settings'
// previews on and off: the stricter of the two wins (shownPrivacy); another
// account is not affected.
TEST(MessageList, PrivacyLevelLimitsTheAccountsRows) {
  using P = PanelPrivacy;
  const Rows other = {" |   Open", " Inbox (1)", "- Cy | open | seen"};
  const struct { const char* name; P level; bool previews; Rows rows; } cases[] = {
      {"everything", P::Everything, true, {" Inbox (3)", "- Bob (2) | new | pv2", "old | pv1", "- Ann | hi | pv3"}},
      {"everything, no previews set", P::Everything, false, {" Inbox (3)", "- Bob (2) | new", "old", "- Ann | hi"}},
      {"no previews", P::NoPreviews, true, {" Inbox (3)", "- Bob (2) | new", "old", "- Ann | hi"}},
      {"senders only", P::SendersOnly, true, {" Inbox (3)", "- Bob (2)", "- Ann (1)"}},
      {"counts only", P::CountsOnly, true, {" Inbox (3)"}},
      {"counts only, no previews set", P::CountsOnly, false, {" Inbox (3)"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ListRig rig(334, [&](SaverSettings& s) { s.displayMsgPreview = c.previews; });
    rig.account("Home").panelPrivacy = c.level;
    rig.account("Open");
    rig.message(0, "Bob", "old", 100, "INBOX", "pv1");
    rig.message(0, "Bob", "new", 300, "INBOX", "pv2");
    rig.message(0, "Ann", "hi", 200, "INBOX", "pv3");
    rig.message(1, "Cy", "open", 100, "INBOX", "seen");
    Rows expected{"  Home"};
    expected.insert(expected.end(), c.rows.begin(), c.rows.end());
    if (c.previews) expected.insert(expected.end(), other.begin(), other.end());
    else expected.insert(expected.end(), {" |   Open", " Inbox (1)", "- Cy | open"});
    EXPECT_EQ(rig.rebuild(), expected);
    // A level changed between rebuilds (new settings) is not taken for an unchanged block.
    rig.cycle.Accounts[0].panelPrivacy = P::CountsOnly;
    EXPECT_EQ(rig.rebuild().at(1), " Inbox (3)");
    EXPECT_EQ(rig.rebuild().size(), expected.size() - c.rows.size() + 1);
  }
}

// The header says, greyed, when the account was last checked successfully;
// a failure after a success keeps its error row and names the success's
// time; nothing before the first check ends, nor after failures alone.
TEST(MessageList, HeadersSayWhenTheAccountWasLastCheckedSuccessfully) {
  const auto ended = [](bool failed, int64_t successAgo) {
    return std::vector<CheckTimes>{{.lastSuccessMs = successAgo < 0 ? 0 : (kNow - successAgo) * 1000,
                                    .latestEndMs = kNow * 1000, .latestFailed = failed}};
  };
  const std::string at = "T" + std::to_string(kNow - 3660);
  const std::tuple<const char*, std::vector<CheckTimes>, std::string> rows[] = {
      {"first check running", {}, ""}, {"59 s", ended(false, 59), "checked just now"},
      {"5 min", ended(false, 300), "checked 5 min ago"}, {"61 min", ended(false, 3660), "checked at " + at},
      {"failed after a success", ended(true, 3660), "last good check " + at}, {"failed only", ended(true, -1), ""}};
  for (const auto& [name, times, freshness] : rows) {
    ListRig rig;
    rig.model.setShortTime([](int64_t t) { return "T" + std::to_string(t); });
    rig.account("Home");
    const bool failed = !times.empty() && times[0].latestFailed;
    rig.status(0, failed ? status::kErrConn : status::kNoMsg, failed ? RowKind::Error : RowKind::NoMessages);
    rig.cycle.checkTimes = times;
    const Rows shown = rig.rebuild();
    EXPECT_EQ(shown[0], freshness.empty() ? "  Home" : "  Home\t" + freshness) << name;
    EXPECT_EQ(shown[1].starts_with("  ERROR"), failed) << name;
    EXPECT_TRUE(freshness.empty() || rig.layout(0).texts.back().color == (Rgb{128, 128, 128})) << name;
  }
}

// The minute's update rewrites header rows only, and only those whose text changed.
TEST(MessageList, FreshnessUpdatesTouchOnlyHeaders) {
  ListRig rig;
  int64_t now = kNow;
  rig.model.setClock([&now] { return now; });
  rig.account("Home"), rig.account("Work"), rig.message(0, "Ann", "hi");
  rig.cycle.checkTimes = {{.lastSuccessMs = kNow * 1000, .latestEndMs = kNow * 1000}};  // Work's first check runs
  Rows expected = rig.rebuild();
  rig.edits = 0, now += 5 * 60;
  EXPECT_TRUE(rig.model.UpdateFreshness(rig.cycle) && !rig.model.UpdateFreshness(rig.cycle));
  expected[0] = "  Home\tchecked 5 min ago";
  EXPECT_EQ(std::pair(rig.plain(), rig.edits), std::pair(expected, 1));
}

TEST(MessageList, FitTextCuts) {
  ListRig rig;
  const FontSpec f{"", 9, false, false};
  const struct { const char* name; std::string text; int width; size_t keep; std::string out; } rows[] = {
      {"30 px fit in 31", "Hello", 31, 0, "Hello"}, {"30 px do not fit in 30", "Hello", 30, 0, "H..."},
      {"never inside the two bytes of a letter", "Grüße aus Köln", 36, 0, "Gr..."},
      {"the kept count stays", "Inbox (12)", 55, 5, "I... (12)"},
      {"then the dots and the count give way", "Inbox (12)", 48, 5, "... 12)"},
      {"keep longer than the text less three: cut from the start", "Bo (3)", 36, 4, "..(3)"},
      {"no room: two characters at most", "abcdef", 0, 0, ".."}, {"negative width", "x", -5, 0, ".."}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string out = rig.model.FitText(row.text, row.width, row.keep, f);
    EXPECT_EQ(out, row.out);
    EXPECT_TRUE(out.size() <= 2 || rig.metrics.width(out, f) < std::max(row.width, 1));
  }
}

// A CHECKING row replaces the earlier messages only when the list would otherwise show nothing new.
TEST(MessageList, StatusRowsFollowTheCycleAndTheSettings) {
  const struct { const char* name; bool firstCycle, hasMessages, hideFolders, hideAccounts, queuedShown; } cases[] = {
      {"first cycle", true, false, true, false, true}, {"later cycle, hideFolders", false, false, true, false, true},
      {"later cycle, folders shown", false, false, false, false, false},
      {"later cycle, hideAccounts", false, false, true, true, false},
      {"account has messages", true, true, true, false, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ListRig rig(334, [&](SaverSettings& s) { s.hideFolders = c.hideFolders, s.hideAccounts = c.hideAccounts; });
    rig.account("Home").hasMessages = c.hasMessages;
    rig.model.FillInitialList(rig.cycle.Accounts);
    rig.message(0, "Ann", "earlier");
    rig.rebuild();
    rig.cycle.firstCycle = c.firstCycle;
    rig.status(0, status::kChecking, RowKind::Progress);
    EXPECT_EQ(rig.rebuild(), (c.queuedShown ? Rows{"  Home", "  Retrieving status..."}
                                            : Rows{"  Home", " Inbox (1)", "- Ann | earlier"}));
  }
}

TEST(MessageList, ErrorRowReplacesMessagesUntilACheckSucceeds) {
  ListRig rig;
  rig.account("Home");
  rig.account("a&b").server = "a&b";
  rig.model.FillInitialList(rig.cycle.Accounts);
  rig.message(0, "Ann", "hi");
  rig.status(1, status::kErrConn, RowKind::Error);
  EXPECT_EQ(rig.rebuild(), (Rows{"  Home", " Inbox (1)", "- Ann | hi", " |   a&b", "  ERROR - Could not connect to  | a&b"}));
  rig.status(0, status::kInvUserPass, RowKind::Error);
  rig.message(1, "Cy", "back");
  EXPECT_EQ(rig.rebuild(), (Rows{"  Home", "  ERROR - Username/password is invalid", " |   a&b", " Inbox (1)", "- Cy | back"}));
  // A server's words (a refused login) come on a line of their own, as text, never as mark-up.
  rig.status(1, status::kErrConn, RowKind::Error, "[IN-USE] <B>locked</B>");
  EXPECT_EQ(rig.rebuild().back(), "  ERROR - Could not connect to  | a&b | [IN-USE] <B>locked</B>");
  // A refused certificate: its reason goes inside the row's one sentence.
  rig.status(1, status::kErrCert, RowKind::Error, "name does not match");
  EXPECT_EQ(rig.rebuild().back(), "  ERROR - The certificate of a&b is not trusted | (name does not match) - review it "
                                  "in the account's | settings");
  rig.status(1, "BOGUS", RowKind::Error);  // an unknown code word shows no row
  EXPECT_EQ(rig.rebuild().size(), 3u);
  // A long status row wraps at blanks within the list's width.
  rig.status(0, status::kNoServer, RowKind::Error);
  EXPECT_EQ(rig.rebuild()[1], "  No server specified for this account - please | configure accounts in the screensaver "
                              "options | dialog");
  for (const LaidOutLine& line : rig.layout(1).lines) EXPECT_LE(line.width, 334);
}

TEST(MessageList, HideAccountsRemovesAQuietBlockAndPutsItBackInOrder) {
  ListRig rig(334, [](SaverSettings& s) { s.hideAccounts = true; });
  for (const char* name : {"A", "B", "C"}) rig.account(name);
  rig.model.FillInitialList(rig.cycle.Accounts);
  for (int i : {0, 1, 2}) rig.status(i, status::kNoMsg, RowKind::NoMessages);
  EXPECT_TRUE(rig.rebuild().empty());
  EXPECT_EQ(rig.height, 16);  // an empty list: the panel's smallest height
  rig.message(2, "Cy", "last");
  EXPECT_EQ(rig.rebuild(), (Rows{"  C", " Inbox (1)", "- Cy | last"}));
  rig.message(0, "Ann", "first");
  EXPECT_EQ(rig.rebuild(), (Rows{"  A", " Inbox (1)", "- Ann | first", " |   C", " Inbox (1)", "- Cy | last"}));
  rig.message(1, "Bo", "middle");
  rig.status(0, status::kNoMsg, RowKind::NoMessages);
  EXPECT_EQ(rig.rebuild(), (Rows{"  B", " Inbox (1)", "- Bo | middle", " |   C", " Inbox (1)", "- Cy | last"}));
  EXPECT_EQ(rig.tags(), (std::vector<int>{1, 1, 1, 2, 2, 2}));
}

TEST(MessageList, BlocksAreFoundByAccountNotByName) {
  ListRig rig;
  for (const char* name : {"Home2", "Home", "Home"}) rig.account(name);
  rig.model.FillInitialList(rig.cycle.Accounts);
  rig.message(2, "Third", "mine");
  rig.message(1, "Second", "mine");
  rig.status(0, status::kNoMsg, RowKind::NoMessages);
  EXPECT_EQ(rig.rebuild(), (Rows{"  Home2", "  No New Messages", " |   Home", " Inbox (1)", "- Second | mine", " |   Home",
                                 " Inbox (1)", "- Third | mine"}));
}

TEST(MessageList, UnchangedRowsAreLeftAlone) {
  ListRig rig;
  for (const char* name : {"Home", "Work"}) rig.account(name);
  rig.message(0, "Ann", "one");
  rig.message(1, "Bob", "two");
  rig.rebuild();
  rig.edits = 0;
  rig.message(1, "Cy", "three");
  rig.rebuild();
  EXPECT_EQ(rig.edits, 3);  // Work's rows after its header; Home's block is not touched
  EXPECT_FALSE(rig.model.RebuildList(rig.cycle));  // listChanged taken
}

// Many rows: the list is cut to the client height less 20; the panel (top
// 60) then reaches below the window, and the one move runs after the rebuild with the
// result lock free.
TEST(MessageList, PanelGrowsToTheRowsWithinTheWindowAndMovesWhenBelowIt) {
  ListRig rig;
  rig.account("Home");
  rig.model.FillInitialList(rig.cycle.Accounts);
  const int fitted = rig.rowBottom(1) + 2 + 16;
  rig.height = 300;
  rig.model.FitPanelHeight(false);
  EXPECT_EQ(std::pair(rig.height, rig.moves), std::pair(fitted, 0));
  for (int k = 0; k < 80; ++k) rig.message(0, "S" + std::to_string(k), "m");
  bool lockFree = false, rowsComplete = false;
  rig.onMove = [&] {
    std::unique_lock lock(rig.cycle.resultLock, std::try_to_lock);
    lockFree = lock.owns_lock();
    rowsComplete = rig.updating == 0 && rig.plain().back().starts_with("... and");
  };
  rig.rebuild();
  const int rows = rig.rowBottom(rig.count() - 1) + 2 + 16;
  EXPECT_LE(rows, 768 - 20);
  EXPECT_EQ(std::pair(rig.height, rig.moves), std::pair(rows, 1));
  EXPECT_TRUE(lockFree && rowsComplete);
}

TEST(MessageList, LeftOutCountsReadAsNumbersInWords) {
  EXPECT_EQ(MessageListModel::MoreMessagesText(1952, 318), "... and 1,952 more messages from 318 senders");
  EXPECT_EQ(MessageListModel::MoreMessagesText(1, 1), "... and 1 more message from 1 sender");
  EXPECT_EQ(MessageListModel::MoreAccountsText(7, 12345), "... and 7 more accounts with 12,345 messages");
  EXPECT_EQ(MessageListModel::MoreAccountsText(1, 1000000), "... and 1 more account with 1,000,000 messages");
  EXPECT_EQ(MessageListModel::MoreAccountsText(2, 0), "... and 2 more accounts with no messages");
}

// A list too long for the window: what stays, with rows measured as the
// list measures them. Messages come from senders of ten each (sender k / 10),
// so a folder that shows s message rows leaves 2,000 - s messages from
// 200 - s / 10 senders. A count of 0 publishes "no messages".
TEST(MessageList, FullPanelKeepsEveryHeaderAndSaysWhatItLeavesOut) {
  const struct {
    const char* name;
    int client;
    std::vector<int> counts;
    // Message rows per account: -1 when its folder shows whole, -2 when the
    // account gives way.
    std::vector<int> rowsShown;
    std::string lastRow;         // the row the list ends with
  } cases[] = {
      {"two large accounts share alike", 420, {2000, 2000}, {7, 6}, "... and 1,994 more messages from 200 senders"},
      {"shared in proportion to the counts", 700, {2000, 500}, {24, 7}, "... and 493 more messages from 50 senders"},
      {"a folder that fits its share shows whole", 768, {40, 5}, {31, -1}, "m4"},
      {"quiet accounts take one line each", 250, {0, 0, 0, 2000}, {0, 0, 0, 4},
       "... and 1,996 more messages from 200 senders"},
      {"the last accounts give way to one row", 300, {0, 5, 5, 5, 5, 5, 5, 5, 5},
       {0, 1, 1, -2, -2, -2, -2, -2, -2}, "  ... and 6 more accounts with 30 messages"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ListRig rig;
    rig.client = c.client;
    for (size_t a = 0; a < c.counts.size(); ++a) {
      rig.account("A" + std::to_string(a));
      if (c.counts[a] == 0) rig.status(static_cast<int>(a), status::kNoMsg, RowKind::NoMessages);
      for (int k = 0; k < c.counts[a]; ++k)
        rig.message(static_cast<int>(a), "S" + std::to_string(k / 10), "m" + std::to_string(k), kNow - k);
    }
    rig.model.FillInitialList(rig.cycle.Accounts);
    EXPECT_LE(rig.rowBottom(rig.count() - 1) + 2 + 16, c.client - 20) << "the first list fits too";
    const Rows rows = rig.rebuild();
    ASSERT_FALSE(rows.empty());
    EXPECT_LE(rig.rowBottom(rig.count() - 1) + 2 + 16, c.client - 20) << "fits, nothing cut";
    EXPECT_EQ(rig.height, rig.rowBottom(rig.count() - 1) + 2 + 16);
    EXPECT_EQ(rows.back(), c.lastRow);
    for (size_t a = 0; a < c.counts.size(); ++a) {
      SCOPED_TRACE(a);
      // The account's rows, by tag: a collapsed account has none (the first
      // of them holds the closing row).
      std::vector<std::string> mine;
      for (int r = 0; r < rig.count(); ++r)
        if (rig.tag(r) == static_cast<int>(a)) mine.push_back(rows[static_cast<size_t>(r)]);
      const std::string name = "A" + std::to_string(a);
      if (c.rowsShown[a] == -2) {
        EXPECT_TRUE(mine.empty() || mine == Rows{c.lastRow}) << "gives way";
        continue;
      }
      if (c.rowsShown[a] == 0) {
        if (c.counts[a] == 0) {
          EXPECT_EQ(mine, Rows{"  " + name + " - No New Messages"}) << "one line";
        }
        continue;
      }
      if (mine.size() < 2) {
        ADD_FAILURE() << "no folder row";
        continue;
      }
      EXPECT_TRUE(mine[0].ends_with(name)) << mine[0];
      EXPECT_EQ(mine[1], " Inbox (" + std::to_string(c.counts[a]) + ")");
      const int n = c.counts[a];
      if (c.rowsShown[a] < 0) {
        EXPECT_EQ(mine.size(), 2u + n) << "whole";
        continue;
      }
      const int s = c.rowsShown[a];
      if (mine.size() != 2u + s + 1) {
        ADD_FAILURE() << "message rows shown: " << mine.size() - 3;
        continue;
      }
      EXPECT_EQ(mine.back(), MessageListModel::MoreMessagesText(n - s, (n + 9) / 10 - s / 10));
      EXPECT_TRUE(mine[2].starts_with("- S0 (" + std::to_string(std::min(n, 10)) + ") | "))
          << "a sender keeps its true count: " << mine[2];
    }
  }
}

// Cut short, a senders-only folder counts each shown row as all its
// sender's messages.
TEST(MessageList, SendersOnlyRowsStandForTheirSendersMessagesWhenCut) {
  ListRig rig;
  rig.client = 300;
  rig.account("Home").panelPrivacy = PanelPrivacy::SendersOnly;
  for (int k = 0; k < 2000; ++k) rig.message(0, "S" + std::to_string(k / 10), "m", kNow - k);
  rig.model.FillInitialList(rig.cycle.Accounts);
  const Rows rows = rig.rebuild();
  ASSERT_GT(rows.size(), 4u);
  const size_t shown = rows.size() - 3;  // the header, the folder row and the closing row apart
  EXPECT_EQ(rows[2], "- S0 (10)");
  EXPECT_EQ(rows.back(), MessageListModel::MoreMessagesText(2000 - 10 * shown, 200 - shown));
}

}  // namespace
}  // namespace brivane
