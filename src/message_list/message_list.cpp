#include "message_list/message_list.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <unordered_map>

#include "checking/check_cycle.h"
#include "common/status_texts.h"
#include "common/status_words.h"
#include "common/text.h"
#include "common/time.h"
#include "markup/markup_parser.h"
#include "message_list/list_markup.h"
#include "settings/accounts.h"

namespace brivane {

using namespace listmarkup;

namespace {

constexpr int kClientHeightMargin = 20;
constexpr int kRowOverlap = 2;  // the panel stays this far above the window's bottom

// The text split into UTF-8 characters (a stray byte is one character), so
// that a cut never splits a sequence.
std::vector<std::string_view> characters(std::string_view text) {
  std::vector<std::string_view> out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    size_t n = std::max<size_t>(1, utf8SequenceLength(text.substr(i)));
    out.push_back(text.substr(i, n));
    i += n;
  }
  return out;
}

std::string join(const std::vector<std::string_view>& chars, size_t from, size_t to) {
  std::string out;
  for (size_t i = from; i < to; ++i) out += chars[i];
  return out;
}

std::string upperTrimmed(std::string_view s) { return asciiUpper(trimControl(s)); }

// A block's first row is its header, unless the block was shortened to one row.
bool isHeaderRow(std::string_view text) { return text.starts_with(HeaderStart) || text.starts_with(HeaderBreak); }

// `s` without characters 0..32 at either end, as trimControl cuts it.
std::string_view trimmedView(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= 32) ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= 32) --e;
  return s.substr(b, e - b);
}

// A hash of a text eight bytes at a time: grouping a folder's messages by
// sender hashes every message's sender on each rebuild.
struct WordHash {
  size_t operator()(std::string_view s) const {
    uint64_t h = s.size() * 0x9E3779B97F4A7C15ull;
    size_t i = 0;
    for (; i + 8 <= s.size(); i += 8) {
      uint64_t w;
      std::memcpy(&w, s.data() + i, 8);
      h = (h ^ w) * 0xFF51AFD7ED558CCDull;
      h ^= h >> 32;
    }
    uint64_t w = 0;
    std::memcpy(&w, s.data() + i, s.size() - i);
    h = (h ^ w) * 0xC4CEB9FE1A85EC53ull;
    return static_cast<size_t>(h ^ (h >> 29));
  }
};
}  // namespace

MessageListFonts MessageListFonts::from(const FontSpec& row) {
  MessageListFonts f{row, row, row};
  f.sender.bold = true;
  f.preview.points = 8;
  return f;
}

MessageListModel::MessageListModel(RowList& rows, MessagePanelHost& host, const TextMetrics& metrics,
                                   MessageListFonts fonts)
    : rows_(rows), host_(host), metrics_(metrics), fonts_(std::move(fonts)) {}

void MessageListModel::setSettings(const SaverSettings& s) {
  hideAccounts_ = s.hideAccounts;
  hideFolders_ = s.hideFolders;
  displayMsgDate_ = s.displayMsgDate;
  displayMsgPreview_ = s.displayMsgPreview;
  built_.clear();
}

void MessageListModel::setShortDate(DateFormatFn format) {
  times_.setShortDate(std::move(format));
  built_.clear();
}

void MessageListModel::setPictureScale(double scale) {
  pictureScale_ = scale;
  built_.clear();
}

void MessageListModel::setFonts(MessageListFonts fonts) {
  fonts_ = std::move(fonts);
  resetCaches();
}

void MessageListModel::resetCaches() {
  fitCache_.clear();
  times_.resetCache();
  built_.clear();
}

std::string MessageListModel::HeaderRow(std::string_view name, int row, std::string_view freshness) {
  std::string text = row > 0 ? std::string(HeaderBreak) : std::string();
  text += HeaderStart;
  text += EscapeMarkup(name);
  if (freshness.empty()) {
    text += HeaderEnd;
    return text;
  }
  text += HeaderNameEnd;
  text += FreshnessStart;
  AppendEscapedMarkup(text, freshness);
  text += FontEnd;
  text += HeaderRule;
  return text;
}

std::string MessageListModel::headerText(int i, int row) const {
  const size_t k = static_cast<size_t>(i);
  const std::string_view name = i >= 0 && k < accountNames_.size() ? std::string_view(accountNames_[k]) : "";
  if (i < 0 || k >= checkTimes_.size()) return HeaderRow(name, row);
  const CheckTimes& t = checkTimes_[k];
  const auto shortTime = shortTime_ ? shortTime_ : [](int64_t when) { return formatLocalTime(when, "%H:%M"); };
  return HeaderRow(name, row, checkedText(t.lastSuccessMs / 1000, t.latestFailed, times_.now(), shortTime));
}

bool MessageListModel::refreshHeaders() {
  // The first row of each account's block is its header.
  bool changed = false;
  int prevTag = -2;
  for (int r = 0; r < rows_.count(); ++r) {
    const int t = rows_.tag(r);
    if (t == prevTag) continue;
    prevTag = t;
    if (t < 0 || !isHeaderRow(rows_.text(r))) continue;  // a block shortened to one row has no header
    std::string text = headerText(t, r);
    if (rows_.text(r) == text) continue;
    rows_.replace(r, std::move(text), t);
    changed = true;
  }
  return changed;
}

void MessageListModel::copyCheckTimes(CheckCycle& cycle) {
  std::lock_guard lock(cycle.resultLock);
  checkTimes_ = cycle.checkTimes;
}

bool MessageListModel::UpdateFreshness(CheckCycle& cycle) {
  copyCheckTimes(cycle);
  rows_.beginUpdate();
  const bool changed = refreshHeaders();
  rows_.endUpdate();
  return changed;
}

// --- text fitting -----------------------------------------------------------

namespace {
constexpr size_t kMaxCachedFits = 16384;
}  // namespace

std::string& MessageListModel::startFitKey(int width, int32_t keep, const FontSpec& font) const {
  // Built in place: a look-up that hits allocates nothing.
  std::string& key = fitKey_;
  key.clear();
  const int32_t numbers[3] = {width, keep, static_cast<int32_t>(font.points * 64)};
  key.append(reinterpret_cast<const char*>(numbers), sizeof numbers);
  key += static_cast<char>((font.bold ? 1 : 0) | (font.italic ? 2 : 0));
  key += font.family;
  key += '\0';
  return key;
}

std::string MessageListModel::FitText(std::string_view text, int width, size_t keep,
                                      const FontSpec& font) const {
  // A rebuild cuts the same texts again: remember the cuts (the key holds
  // everything the cut depends on).
  std::string& key = startFitKey(width, static_cast<int32_t>(std::min<size_t>(keep, INT32_MAX)), font);
  key += text;
  if (auto it = fitCache_.find(std::string_view(key)); it != fitCache_.end()) return it->second;
  if (fitCache_.size() >= kMaxCachedFits) fitCache_.clear();
  std::string out = cut(text, width, keep, font);
  fitCache_.emplace(fitKey_, out);
  return out;
}

std::string MessageListModel::cut(std::string_view text, int width, size_t keep, const FontSpec& font) const {
  if (metrics_.width(text, font) < width) return std::string(text);
  std::vector<std::string_view> chars = characters(text);
  const size_t n = chars.size();
  keep = std::min(keep, n);
  // The tail that stays, and the head before the "..." (what the dots
  // replace: the three characters before the tail, or the start of the text
  // when the tail leaves fewer than three).
  const std::string tail = join(chars, n - keep, n);
  const size_t headMax = n - keep >= 3 ? n - keep - 3 : 0;
  auto withHead = [&](size_t k) { return join(chars, 0, k) + "..." + tail; };
  auto fits = [&](const std::string& s) { return metrics_.width(s, font) < width; };

  // Shortening the head one character at a time stops at the longest head
  // that fits: found by binary search over character boundaries.
  std::string out = withHead(headMax);
  if (fits(out)) return out;
  size_t lo = 1, hi = headMax, best = 0;  // best 0: no head fits
  while (lo <= hi) {
    size_t mid = lo + (hi - lo) / 2;
    if (fits(withHead(mid))) {
      best = mid;
      lo = mid + 1;
    } else {
      hi = mid - 1;
    }
  }
  out = withHead(best);
  if (fits(out)) return out;
  // No head left: delete the character before the last three until the text
  // fits or two characters are left (the dots and the tail give way).
  std::vector<std::string_view> rest = characters(out);
  std::vector<std::string> pieces(rest.begin(), rest.end());
  auto current = [&] {
    std::string s;
    for (const std::string& p : pieces) s += p;
    return s;
  };
  while (pieces.size() > 2 && !fits(current())) {
    size_t len = pieces.size();
    pieces.erase(pieces.begin() + static_cast<std::ptrdiff_t>(len == 3 ? 1 : len - 4));
  }
  return current();
}

std::string MessageListModel::FitTextWithRight(std::string_view text, std::string_view right, int width,
                                               const FontSpec& font) const {
  if (right.empty()) return EscapeMarkup(FitText(text, width, 0, font));
  // The cut measures less than its room: the blank before the time stays whole.
  const int room = width - metrics_.width(right, font) - metrics_.width(" ", font);
  std::string out = EscapeMarkup(FitText(text, room, 0, font));
  out += kRightTab;
  AppendEscapedMarkup(out, right);
  return out;
}

int MessageListModel::messageTextStart() const {
  return kMessageIndent + static_cast<int>(std::lround(kMessageIconSize * pictureScale_));
}

// --- blocks -----------------------------------------------------------------

std::pair<int, int> MessageListModel::blockOf(int i) const {
  const int count = rows_.count();
  int start = -1;
  for (int r = 0; r < count; ++r) {
    int t = rows_.tag(r);
    if (t == i) {
      start = r;
      break;
    }
    if (t > i) return {-1, r};  // blocks stand in account order: i would go here
  }
  if (start < 0) return {-1, count};
  int end = start + 1;
  while (end < count && rows_.tag(end) == i) ++end;
  return {start, end};
}

int MessageListModel::FindAccountHeader(int i) const { return blockOf(i).first; }

int MessageListModel::ClearAccountRows(int i) {
  auto [start, end] = blockOf(i);
  if (start < 0) return -1;
  for (int r = end - 1; r > start; --r) rows_.remove(r);
  return start;
}

int MessageListModel::EnsureAccountHeader(int i, bool clearOld) {
  auto [start, end] = blockOf(i);
  if (start >= 0) {
    if (clearOld) ClearAccountRows(i);
    return start + 1;
  }
  const int p = end;  // the next shown account's header, or the end
  rows_.insert(p, headerText(i, p), i);
  return p + 1;
}

void MessageListModel::normalizeHeaderBreaks() {
  // A header carries the "<BR>" that separates it from the block above,
  // except in the first row, whichever account is shown first.
  int prevTag = -2;
  for (int r = 0; r < rows_.count(); ++r) {
    int t = rows_.tag(r);
    if (t == prevTag || t < 0) {
      prevTag = t;
      continue;
    }
    prevTag = t;
    const std::string& text = rows_.text(r);
    if (!text.starts_with(HeaderStart) && !text.starts_with(HeaderBreak)) continue;  // a block of one line
    const bool hasBreak = text.starts_with(HeaderBreak);
    if (hasBreak != (r > 0)) {
      std::string fixed = r > 0 ? std::string(HeaderBreak) + text : text.substr(HeaderBreak.size());
      rows_.replace(r, std::move(fixed), t);
    }
  }
}

// --- the list ---------------------------------------------------------------

std::string MessageListModel::statusMarkup(std::string_view code, std::string_view server,
                                           std::string_view detail) const {
  return wrappedStatusRow(code, server, detail, statusLayout());
}

void MessageListModel::FillInitialList(const AccountList& accounts) {
  accountNames_.clear();
  for (const TEmlAccount& a : accounts) accountNames_.push_back(a.name);
  built_.clear();
  rows_.beginUpdate();
  rows_.clear();
  if (accounts.empty()) {
    rows_.insert(0, notSetUpRow(statusLayout()), -1);
  } else {
    // A header and a "Queued for check" row per account, fitted as every
    // list is.
    plans_.assign(accounts.size(), Plan{});
    for (size_t i = 0; i < accounts.size(); ++i) {
      plans_[i].outcome = Outcome::Replace;
      plans_[i].rows.push_back(statusMarkup(status::kQueued, accounts[i].server));
      plans_[i].statusCode = status::kQueued;
    }
    std::vector<Plan> fitted = fitPlans(accounts);
    for (size_t i = 0; i < accounts.size(); ++i) applyPlan(static_cast<int>(i), accounts[i], fitted[i]);
    normalizeHeaderBreaks();
  }
  rows_.endUpdate();
  FitPanelHeight(false);
  if (moveDue_) {
    moveDue_ = false;
    host_.requestMove();
  }
}

void MessageListModel::ComposeFolder(std::vector<const MessageSummary*> messages, const std::string& caption,
                                     std::vector<std::string>& out, PanelPrivacy shows) const {
  FolderPart folder = prepareFolder(std::move(messages), caption, shows);
  if (!folder.head.empty()) out.push_back(std::move(folder.head));
  for (size_t k = 0; k < folder.entries.size(); ++k) out.push_back(composeRow(folder, folder.entries[k]));
}

MessageListModel::FolderPart MessageListModel::prepareFolder(std::vector<const MessageSummary*> messages,
                                                             const std::string& caption, PanelPrivacy shows) const {
  // Newest first; equal dates keep their order.
  std::stable_sort(messages.begin(), messages.end(),
                   [](const MessageSummary* a, const MessageSummary* b) { return a->received > b->received; });
  const int width = listWidth();
  FolderPart folder;
  folder.shows = shows;
  folder.messages = messages.size();
  if (!caption.empty() && (!messages.empty() || !hideFolders_)) {
    std::string suffix = " (" + std::to_string(messages.size()) + ")";
    folder.head = std::string(FolderIcon) +
                  EscapeMarkup(FitText(caption + suffix, width - kFolderMargin, suffix.size(), fonts_.row));
  }
  if (shows == PanelPrivacy::CountsOnly) return folder;
  // Each sender's messages, in the sorted order; a sender's group stands at
  // the place of its newest message.
  std::unordered_map<std::string_view, size_t, WordHash> bySender;
  std::vector<std::vector<const MessageSummary*>> groups;  // in the order of their newest message
  const MessageSummary* previous = nullptr;
  size_t current = 0;
  for (const MessageSummary* m : messages) {
    // A run of one sender's messages is looked up once.
    if (!previous || previous->sender != m->sender) {
      auto [it, added] = bySender.try_emplace(m->sender, groups.size());
      if (added) groups.emplace_back();
      current = it->second;
    }
    groups[current].push_back(m);
    previous = m;
  }
  const bool sendersOnly = shows == PanelPrivacy::SendersOnly;
  folder.entries.reserve(sendersOnly ? groups.size() : messages.size());
  folder.groupEnds.reserve(groups.size());
  for (const std::vector<const MessageSummary*>& group : groups) {
    for (size_t g = 0; g < (sendersOnly ? 1 : group.size()); ++g)
      folder.entries.push_back({group[g], g == 0 ? static_cast<uint32_t>(group.size()) : 0});
    folder.groupEnds.push_back(static_cast<uint32_t>(folder.entries.size()));
  }
  return folder;
}

std::string& MessageListModel::composedRow(FolderPart& folder, size_t k) const {
  if (folder.composed.size() <= k) folder.composed.resize(k + 1);
  FolderPart::Composed& c = folder.composed[k];
  std::string time = displayMsgDate_ && folder.shows != PanelPrivacy::SendersOnly
                         ? RelativeTime(folder.entries[k].message->received)
                         : std::string();
  if (!c.done || c.time != time) {
    c.row = composeRow(folder, folder.entries[k]);
    c.time = std::move(time);
    c.done = true;
  }
  return c.row;
}

std::string MessageListModel::composeRow(const FolderPart& folder, const FolderPart::Entry& entry) const {
  const int width = listWidth();
  const MessageSummary& m = *entry.message;
  const bool previews = displayMsgPreview_ && folder.shows == PanelPrivacy::Everything;
  auto appendLine = [&](std::string& l, const MessageSummary& m) {
    l += MessageIndent;
    l += MessageIcon;
    l += SubjectStart;
    const std::string time = displayMsgDate_ ? RelativeTime(m.received) : std::string();
    l += time.empty() ? EscapeMarkup(FitText(m.subject, width - kMessageMargin, 0, fonts_.row))
                      : FitTextWithRight(m.subject, time, width - messageTextStart(), fonts_.row);
    l += FontEnd;
    if (previews && !m.preview.empty()) {
      l += PreviewStart;
      AppendEscapedMarkup(l, FitText(m.preview, width - kMessageMargin, 0, fonts_.preview));
      l += FontEnd;
    }
  };
  std::string l;
  if (entry.groupSize == 0) {
    l.reserve(256);
    appendLine(l, m);
    return l;
  }
  // The first row of a sender's group carries the sender line.
  const std::string_view sender = m.sender;
  const bool sendersOnly = folder.shows == PanelPrivacy::SendersOnly;
  std::string head;
  if (entry.groupSize > 1 || sendersOnly) {
    std::string suffix = " (" + std::to_string(entry.groupSize) + ")";
    head = FitText(std::string(sender) + suffix, width - kFolderMargin, suffix.size(), fonts_.sender);
  } else {
    head = FitText(sender, width - kFolderMargin, 0, fonts_.sender);
  }
  l.reserve(320);
  l += SenderStart;
  AppendEscapedMarkup(l, head);
  if (sendersOnly) {
    l += SenderOnlyEnd;
    return l;
  }
  l += SenderEnd;
  appendLine(l, m);
  return l;
}

MessageListModel::Plan MessageListModel::planAccount(int, TEmlAccount& account,
                                                     const std::vector<const MessageSummary*>& rows,
                                                     bool firstCycle) const {
  Plan plan;
  bool headerDone = false, hasStatus = false, handled = false, noMessages = false;
  size_t r = 0;  // where the next status row goes, after the header
  auto ensureHeader = [&] {
    if (headerDone) return;
    plan.outcome = Outcome::Replace;
    plan.rows.clear();
    r = 0;
    headerDone = true;
  };
  auto insertStatus = [&](const MessageSummary& m) {
    if (plan.outcome == Outcome::Remove) return;  // the block is gone for this rebuild
    std::string row = statusMarkup(m.subject, account.server, m.preview);
    if (row.empty()) return;
    plan.rows.insert(plan.rows.begin() + static_cast<std::ptrdiff_t>(r), std::move(row));
    if (r == 0) plan.statusCode = m.subject, plan.statusDetail = m.preview;
  };
  for (const MessageSummary* m : rows) {
    if (m->kind == RowKind::Message) continue;
    hasStatus = true;
    if (m->kind == RowKind::Progress || m->kind == RowKind::Queued) {
      if (account.hasMessages || (!hideFolders_ && !firstCycle) || (hideAccounts_ && !firstCycle)) {
        handled = true;
        continue;
      }
      ensureHeader();
      insertStatus(*m);
      handled = true;
    } else if (m->subject != status::kNoMsg) {
      ensureHeader();
      insertStatus(*m);
      handled = true;
    } else {
      noMessages = true;
      if (hideAccounts_) {
        headerDone = true;
        plan.outcome = Outcome::Remove;
        plan.rows.clear();
        handled = true;
      } else if (hideFolders_) {
        ensureHeader();
        insertStatus(*m);
        handled = true;
      }
    }
  }
  if (handled) return plan;

  if (account.isPOP && account.folders.empty()) account.folders.push_back("INBOX;Inbox");
  for (const std::string& f : account.folders) {
    const std::string key = upperTrimmed(FolderPath(f));
    std::vector<const MessageSummary*> messages;
    for (const MessageSummary* m : rows) {
      if (m->kind == RowKind::Message && equalsIgnoreCase(trimmedView(m->folder), key)) messages.push_back(m);
    }
    ensureHeader();
    if (!hasStatus || noMessages) {
      plan.folders.push_back(
          prepareFolder(std::move(messages), FolderCaption(f), shownPrivacy(account, displayMsgPreview_)));
    }
  }
  return plan;
}

// --- fitting the panel -------------------------------------------------------

namespace {

// 12345 as "12,345".
std::string withThousands(size_t n) {
  std::string digits = std::to_string(n), out;
  for (size_t k = 0; k < digits.size(); ++k) {
    if (k > 0 && (digits.size() - k) % 3 == 0) out += ',';
    out += digits[k];
  }
  return out;
}

std::string counted(size_t n, std::string_view one, std::string_view many) {
  return withThousands(n) + " " + std::string(n == 1 ? one : many);
}

}  // namespace

std::string MessageListModel::MoreMessagesText(size_t messages, size_t senders) {
  return "... and " + counted(messages, "more message", "more messages") + " from " +
         counted(senders, "sender", "senders");
}

std::string MessageListModel::MoreAccountsText(size_t accounts, size_t messages) {
  return "... and " + counted(accounts, "more account", "more accounts") + " with " +
         (messages == 0 ? std::string("no messages") : counted(messages, "message", "messages"));
}

int MessageListModel::measure(const std::string& row) {
  // The shape: the tags as they are, each text between them as one mark.
  std::string& key = shapeKey_;
  key.clear();
  for (size_t i = 0; i < row.size();) {
    if (row[i] == '<') {
      const size_t end = row.find('>', i);
      const size_t stop = end == std::string::npos ? row.size() : end + 1;
      key.append(row, i, stop - i);
      i = stop;
    } else {
      i = std::min(row.find('<', i), row.size());
      key += '\x01';
    }
  }
  if (auto it = shapeHeights_.find(key); it != shapeHeights_.end()) return it->second;
  const int h = rows_.measureRow(row);
  shapeHeights_.emplace(key, h);
  return h;
}

int MessageListModel::entryHeight(const FolderPart& folder, const FolderPart::Entry& entry) {
  const MessageSummary& m = *entry.message;
  const bool emptyLine = m.subject.empty() && (!displayMsgDate_ || m.received == 0);
  const size_t shape = (entry.groupSize > 0 ? 1 : 0) |
                       (displayMsgPreview_ && folder.shows == PanelPrivacy::Everything && !m.preview.empty() ? 2 : 0) |
                       (emptyLine ? 4 : 0) | (folder.shows == PanelPrivacy::SendersOnly ? 8 : 0);
  int& h = entryHeights_[shape];
  if (h == 0) h = measure(composeRow(folder, entry));
  return h;
}

std::vector<MessageListModel::Plan> MessageListModel::fitPlans(const AccountList& accounts) {
  const size_t n = plans_.size();
  entryHeights_.fill(0);
  shapeHeights_.clear();
  const int budget = host_.clientHeight() - kClientHeightMargin - host_.panelFrameHeight() - kRowOverlap;
  const int width = listWidth();

  // What every block and every folder with messages needs.
  struct Folder {
    FolderPart* part;
    int head = 0, first = 0, full = 0, least = 0;
    bool partSum = false;  // `full` was not summed to the end: the folder cannot show whole
    size_t kept = 0;
    int64_t used = 0;  // its rows' height as kept
    int64_t room = 0;  // its share beyond `least`
  };
  struct Block {
    bool shown = false;
    int header = 0, fixed = 0;  // fixed: the status rows and empty folders' rows
    size_t messages = 0, firstFolder = 0, endFolder = 0;
  };
  std::vector<Block> blocks(n);
  std::vector<Folder> folders;
  const int closing = measure(std::string(MoreMessagesStart) + MoreMessagesText(2, 2) + std::string(FontEnd));
  bool first = true;
  int64_t total = 0;
  for (size_t i = 0; i < n; ++i) {
    Plan& p = plans_[i];
    Block& b = blocks[i];
    b.firstFolder = b.endFolder = folders.size();
    if (p.outcome != Outcome::Replace) continue;
    b.shown = true;
    b.header = measure(headerText(static_cast<int>(i), first ? 0 : 1));
    for (const std::string& row : p.rows) b.fixed += measure(row);
    for (FolderPart& part : p.folders) {
      const int head = part.head.empty() ? 0 : measure(part.head);
      if (part.entries.empty()) {
        b.fixed += head;
        continue;
      }
      Folder f{&part, head, entryHeight(part, part.entries[0])};
      f.least = f.head + f.first + (part.entries.size() > 1 ? closing : 0);
      // Summed only until it is clear the folder cannot show whole: past
      // its least by more than the whole panel.
      f.full = head;
      for (const FolderPart::Entry& e : part.entries) {
        f.full += entryHeight(part, e);
        if (f.full > f.least + budget) {
          f.partSum = true;
          break;
        }
      }
      b.messages += part.entries.size();
      folders.push_back(f);
    }
    b.endFolder = folders.size();
    first = false;
    total += b.header + b.fixed;
    for (size_t k = b.firstFolder; k < b.endFolder; ++k) total += folders[k].full;
  }

  // The list is shortened in steps until it fits: folders show their first
  // rows, then accounts without messages take one line, then the last
  // accounts give way to one row.
  bool oneLine = false;
  size_t keep = n;  // blocks before this index are shown
  std::vector<int> oneLineHeights(n, 0);
  auto oneLineRow = [&](size_t i) {
    std::string text = accounts[i].name;
    if (auto st = statusText(plans_[i].statusCode, accounts[i].server, plans_[i].statusDetail))
      text += " - " + st->first;
    return std::string(OneLineStart) + EscapeMarkup(FitText(text, width - kStatusIndent - kRightMargin, 0, fonts_.sender)) +
           std::string(OneLineEnd);
  };
  size_t hiddenAccounts = 0, hiddenMessages = 0;
  auto collapseRow = [&] {
    return std::string(OneLineStart) +
           EscapeMarkup(FitText(MoreAccountsText(hiddenAccounts, hiddenMessages), width - kStatusIndent - kRightMargin, 0,
                                fonts_.sender)) +
           std::string(OneLineEnd);
  };
  int64_t used = total;
  if (total > budget) {
    auto blockNeed = [&](size_t i) -> int64_t {
      const Block& b = blocks[i];
      if (!b.shown) return 0;
      if (oneLine && b.messages == 0) {
        if (oneLineHeights[i] == 0) oneLineHeights[i] = measure(oneLineRow(i));
        return oneLineHeights[i];
      }
      int64_t need = b.header + b.fixed;
      for (size_t k = b.firstFolder; k < b.endFolder; ++k) need += folders[k].least;
      return need;
    };
    auto need = [&] {
      int64_t sum = 0;
      hiddenAccounts = hiddenMessages = 0;
      for (size_t i = 0; i < n; ++i) {
        if (i < keep) {
          sum += blockNeed(i);
        } else if (blocks[i].shown) {
          ++hiddenAccounts;
          hiddenMessages += blocks[i].messages;
        }
      }
      if (hiddenAccounts > 0) sum += measure(collapseRow());
      return sum;
    };
    used = need();
    if (used > budget) {
      oneLine = true;
      used = need();
    }
    while (used > budget && keep > 0) {
      --keep;
      used = need();
    }
    // The room left, shared among the shown folders in proportion to their
    // messages; a folder that needs less than its share shows whole and
    // leaves the rest to the others.
    std::vector<Folder*> sharing;
    for (size_t i = 0; i < keep; ++i) {
      for (size_t k = blocks[i].firstFolder; k < blocks[i].endFolder; ++k) sharing.push_back(&folders[k]);
    }
    int64_t room = std::max<int64_t>(0, budget - used);
    for (bool settled = false; !settled;) {
      settled = true;
      int64_t messages = 0;
      for (Folder* f : sharing) messages += static_cast<int64_t>(f->part->messages);
      for (auto it = sharing.begin(); it != sharing.end();) {
        Folder& f = **it;
        // Whole, the folder needs no closing row.
        const int64_t whole = f.full - f.least;
        if (messages > 0 && whole * messages <= room * static_cast<int64_t>(f.part->messages)) {
          f.kept = f.part->entries.size();
          room -= whole;
          it = sharing.erase(it);
          settled = false;
          break;  // the shares change
        }
        ++it;
      }
      if (settled) {
        for (Folder* f : sharing) f->room = room * static_cast<int64_t>(f->part->messages) / messages;
      }
    }
    // Each folder takes its first rows up to its share; what the shares
    // leave over goes a row at a time to each folder in turn. The last
    // message takes the place of the closing row.
    auto nextCost = [&](const Folder& f) {
      const size_t count = f.part->entries.size();
      if (f.kept >= count) return INT64_MAX;
      return int64_t{entryHeight(*f.part, f.part->entries[f.kept])} - (f.kept + 1 == count ? closing : 0);
    };
    int64_t left = room;
    for (Folder* f : sharing) {
      f->kept = 1;
      f->used = f->least;
      for (int64_t cost; (cost = nextCost(*f)) <= f->room; ++f->kept) {
        f->room -= cost;
        f->used += cost;
        left -= cost;
      }
    }
    // Folders the leftover can finish come first, the cheapest first (a
    // closing row in place of a message or two helps nobody); then the
    // others, a row each in turn.
    std::vector<Folder*> finishing;
    for (Folder* f : sharing) {
      if (!f->partSum) finishing.push_back(f);
    }
    std::stable_sort(finishing.begin(), finishing.end(),
                     [](const Folder* a, const Folder* b) { return a->full - a->used < b->full - b->used; });
    for (Folder* f : finishing) {
      if (f->full - f->used > left) break;
      left -= f->full - f->used;
      f->kept = f->part->entries.size();
    }
    for (bool grew = true; grew;) {
      grew = false;
      for (Folder* f : sharing) {
        if (int64_t cost = nextCost(*f); cost <= left) {
          left -= cost;
          ++f->kept;
          grew = true;
        }
      }
    }
  } else {
    for (Folder& f : folders) f.kept = f.part->entries.size();
  }

  // The blocks as applyPlan takes them.
  std::vector<Plan> out(n);
  bool collapsed = false;
  for (size_t i = 0; i < n; ++i) {
    const Plan& p = plans_[i];
    Plan& o = out[i];
    const Block& b = blocks[i];
    if (i >= keep) {
      o.outcome = Outcome::Remove;
      if (b.shown && !collapsed) {
        // The first account that does not fit holds the row for them all.
        collapsed = true;
        o.outcome = Outcome::Replace;
        o.header = collapseRow();
      }
      continue;
    }
    o.outcome = p.outcome;
    if (!b.shown) continue;
    if (oneLine && b.messages == 0) {
      o.header = oneLineRow(i);
      continue;
    }
    o.rows = p.rows;
    size_t k = b.firstFolder;
    for (FolderPart& part : plans_[i].folders) {
      if (!part.head.empty()) o.rows.push_back(part.head);
      if (part.entries.empty()) continue;
      const size_t kept = folders[k++].kept;
      for (size_t r = 0; r < kept; ++r) o.rows.push_back(composedRow(part, r));
      if (kept < part.entries.size()) {
        // A senders-only row stands for all the sender's messages.
        size_t senders = 0, shown = 0;
        for (uint32_t end : part.groupEnds) senders += end > kept ? 1 : 0;
        for (size_t r = 0; r < kept; ++r)
          shown += part.shows == PanelPrivacy::SendersOnly ? part.entries[r].groupSize : 1;
        o.rows.push_back(std::string(MoreMessagesStart) +
                         EscapeMarkup(FitText(MoreMessagesText(part.messages - shown, senders),
                                              width - kMoreMessagesIndent - kRightMargin, 0, fonts_.row)) +
                         std::string(FontEnd));
      }
    }
  }
  return out;
}

void MessageListModel::applyPlan(int i, const TEmlAccount&, Plan& plan) {
  if (plan.outcome == Outcome::Untouched) return;
  if (plan.outcome == Outcome::Remove) {
    int header = ClearAccountRows(i);
    if (header >= 0) rows_.remove(header);
    return;
  }
  auto [header, end] = blockOf(i);
  if (header < 0) {
    header = EnsureAccountHeader(i, false) - 1;
    end = header + 1;
  }
  // A block shortened to one row, or grown back from it (refreshHeaders
  // keeps the headers themselves current).
  if (!plan.header.empty()) {
    if (rows_.text(header) != plan.header) rows_.replace(header, std::move(plan.header), i);
  } else if (!isHeaderRow(rows_.text(header))) {
    rows_.replace(header, headerText(i, header), i);
  }
  // Rows equal at both ends stay; only the middle is replaced, so an
  // unchanged block costs no measuring.
  const int first = header + 1;
  const int oldCount = end - first;
  const int newCount = static_cast<int>(plan.rows.size());
  int prefix = 0;
  while (prefix < oldCount && prefix < newCount && rows_.text(first + prefix) == plan.rows[prefix]) ++prefix;
  int suffix = 0;
  while (suffix < oldCount - prefix && suffix < newCount - prefix &&
         rows_.text(end - 1 - suffix) == plan.rows[newCount - 1 - suffix])
    ++suffix;
  const int oldMid = oldCount - prefix - suffix, newMid = newCount - prefix - suffix;
  const int common = std::min(oldMid, newMid);
  for (int k = 0; k < common; ++k) rows_.replace(first + prefix + k, std::move(plan.rows[prefix + k]), i);
  for (int k = oldMid - 1; k >= common; --k) rows_.remove(first + prefix + k);
  for (int k = common; k < newMid; ++k) rows_.insert(first + prefix + k, std::move(plan.rows[prefix + k]), i);
}

bool MessageListModel::sameInputs(const BlockInputs& memo, const std::vector<const MessageSummary*>& rows,
                                  const TEmlAccount& account, bool firstCycle) const {
  if (memo.rows.size() != rows.size() || memo.firstCycle != firstCycle ||
      memo.hasMessages != account.hasMessages || memo.width != listWidth() || memo.name != account.name ||
      memo.server != account.server || memo.folders != account.folders ||
      memo.shows != shownPrivacy(account, displayMsgPreview_)) {
    return false;
  }
  for (size_t k = 0; k < rows.size(); ++k) {
    if (!(memo.rows[k] == *rows[k])) return false;
  }
  return true;
}

bool MessageListModel::RebuildList(CheckCycle& cycle) {
  if (cycle.listChanged.load() == 0) return false;
  // Only a copy of the rows is taken under the lock: building the list
  // measures text and may move the panel, and checkers must not wait for that.
  // Each account's rows are copied straight into a vector of their own, so
  // that a block's memo takes them without copying or moving them again.
  AccountList& accounts = cycle.Accounts;
  std::vector<std::vector<MessageSummary>> snapshot(accounts.size());
  {
    std::lock_guard lock(cycle.resultLock);
    cycle.listChanged.store(0);
    std::vector<size_t> counts(accounts.size(), 0);
    for (const MessageSummary& m : cycle.resultList) {
      if (m.accountIndex >= 0 && static_cast<size_t>(m.accountIndex) < accounts.size())
        ++counts[static_cast<size_t>(m.accountIndex)];
    }
    for (size_t i = 0; i < accounts.size(); ++i) snapshot[i].reserve(counts[i]);
    for (const MessageSummary& m : cycle.resultList) {
      if (m.accountIndex >= 0 && static_cast<size_t>(m.accountIndex) < accounts.size())
        snapshot[static_cast<size_t>(m.accountIndex)].push_back(m);
    }
    checkTimes_ = cycle.checkTimes;
  }
  accountNames_.clear();
  for (const TEmlAccount& a : accounts) accountNames_.push_back(a.name);
  std::vector<std::vector<const MessageSummary*>> byAccount(accounts.size());
  for (size_t i = 0; i < accounts.size(); ++i) {
    byAccount[i].reserve(snapshot[i].size());
    for (const MessageSummary& m : snapshot[i]) byAccount[i].push_back(&m);
  }
  if (built_.size() != accounts.size()) built_.assign(accounts.size(), std::nullopt);
  if (plans_.size() != accounts.size()) plans_.assign(accounts.size(), Plan{});
  for (size_t i = 0; i < accounts.size(); ++i) {
    if (built_[i] && sameInputs(*built_[i], byAccount[i], accounts[i], cycle.firstCycle)) continue;
    if (!built_[i] && !plans_[i].folders.empty()) plans_[i] = Plan{};  // it points into rows that are gone
    BlockInputs in;
    // The snapshot is ours and this account's rows are done with: move them.
    in.rows = std::move(snapshot[i]);  // byAccount[i] still points into them
    Plan plan = planAccount(static_cast<int>(i), accounts[i], byAccount[i], cycle.firstCycle);
    if (plan.outcome == Outcome::Untouched) {
      // A block left as it stands keeps the plan (and the rows) it shows;
      // one never planned (the first list's) becomes a plan of its rows, so
      // that fitting can shorten it and bring it back.
      if (plans_[i].outcome != Outcome::Untouched) continue;
      auto [header, end] = blockOf(static_cast<int>(i));
      plan.outcome = header < 0 ? Outcome::Remove : Outcome::Replace;
      for (int r = header + 1; header >= 0 && r < end; ++r) plan.rows.push_back(rows_.text(r));
    }
    in.folders = accounts[i].folders;
    in.name = accounts[i].name;
    in.server = accounts[i].server;
    in.firstCycle = cycle.firstCycle;
    in.hasMessages = accounts[i].hasMessages;
    in.shows = shownPrivacy(accounts[i], displayMsgPreview_);
    in.width = listWidth();
    built_[i] = std::move(in);  // the plan's pointers stay valid: the rows' storage moves with them
    plans_[i] = std::move(plan);
  }
  // Every block is fitted again: one account's change moves the others' share.
  rows_.beginUpdate();
  std::vector<Plan> fitted = fitPlans(accounts);
  for (size_t i = 0; i < accounts.size(); ++i) applyPlan(static_cast<int>(i), accounts[i], fitted[i]);
  // Headers apart from their blocks: an unchanged block's header may say a
  // newer check (or, though not in a run, a new name).
  refreshHeaders();
  normalizeHeaderBreaks();
  rows_.endUpdate();
  FitPanelHeight(false);
  if (moveDue_) {
    moveDue_ = false;
    host_.requestMove();
  }
  return true;
}

void MessageListModel::FitPanelHeight(bool growOnly) {
  const int frame = host_.panelFrameHeight();
  // The rows and the panel's frame: the space under the last row equals the
  // border above the first, whatever the last row's height.
  int h = frame;  // an empty list: the panel's smallest height
  // A row is its lines less 2 pixels: the last row's lines reach that far below it.
  if (int last = rows_.count() - 1; last >= 0) h = rows_.rowBottom(last) + kRowOverlap + frame;
  h = std::min(h, host_.clientHeight() - kClientHeightMargin);
  if (!growOnly || host_.panelHeight() < h) host_.setPanelHeight(h);
  if (host_.panelTop() + host_.panelHeight() > host_.clientHeight()) moveDue_ = true;
}

}  // namespace brivane
