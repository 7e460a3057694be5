#include "message_list/message_list.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <unordered_map>

#include "checking/check_cycle.h"
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
    if (t < 0) continue;
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
    for (size_t i = 0; i < accounts.size(); ++i) {
      const int at = rows_.count();
      rows_.insert(at, headerText(static_cast<int>(i), at), static_cast<int>(i));
      rows_.insert(at + 1, statusMarkup(status::kQueued, accounts[i].server), static_cast<int>(i));
    }
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
  // Newest first; equal dates keep their order.
  std::stable_sort(messages.begin(), messages.end(),
                   [](const MessageSummary* a, const MessageSummary* b) { return a->received > b->received; });
  const int width = listWidth();
  if (!caption.empty() && (!messages.empty() || !hideFolders_)) {
    std::string suffix = " (" + std::to_string(messages.size()) + ")";
    out.push_back(std::string(FolderIcon) +
                  EscapeMarkup(FitText(caption + suffix, width - kFolderMargin, suffix.size(), fonts_.row)));
  }
  if (shows == PanelPrivacy::CountsOnly) return;
  const bool previews = displayMsgPreview_ && shows == PanelPrivacy::Everything;
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
  auto line = [&](const MessageSummary& m) {
    std::string l;
    l.reserve(256);
    appendLine(l, m);
    return l;
  };
  // Each sender's messages, in the sorted order; a sender's group stands at
  // the place of its newest message.
  std::unordered_map<std::string_view, std::vector<size_t>> bySender;
  std::vector<std::string_view> order;
  for (size_t k = 0; k < messages.size(); ++k) {
    auto [it, added] = bySender.try_emplace(messages[k]->sender);
    if (added) order.push_back(messages[k]->sender);
    it->second.push_back(k);
  }
  for (std::string_view sender : order) {
    const std::vector<size_t>& group = bySender[sender];
    std::string head;
    if (group.size() > 1 || shows == PanelPrivacy::SendersOnly) {
      std::string suffix = " (" + std::to_string(group.size()) + ")";
      head = FitText(std::string(sender) + suffix, width - kFolderMargin, suffix.size(), fonts_.sender);
    } else {
      head = FitText(sender, width - kFolderMargin, 0, fonts_.sender);
    }
    std::string first;
    first.reserve(320);
    first += SenderStart;
    AppendEscapedMarkup(first, head);
    if (shows == PanelPrivacy::SendersOnly) {
      first += SenderOnlyEnd;
      out.push_back(std::move(first));
      continue;
    }
    first += SenderEnd;
    appendLine(first, *messages[group[0]]);
    out.push_back(std::move(first));
    for (size_t g = 1; g < group.size(); ++g) out.push_back(line(*messages[group[g]]));
  }
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
    if (!row.empty()) plan.rows.insert(plan.rows.begin() + static_cast<std::ptrdiff_t>(r), std::move(row));
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
      if (m->kind == RowKind::Message && upperTrimmed(m->folder) == key) messages.push_back(m);
    }
    ensureHeader();
    if (!hasStatus || noMessages)
      ComposeFolder(std::move(messages), FolderCaption(f), plan.rows, shownPrivacy(account, displayMsgPreview_));
  }
  return plan;
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
                                  const std::vector<std::string>& times, const TEmlAccount& account,
                                  bool firstCycle) const {
  if (memo.rows.size() != rows.size() || memo.times != times || memo.firstCycle != firstCycle ||
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
  std::vector<MessageSummary> snapshot;
  {
    std::lock_guard lock(cycle.resultLock);
    cycle.listChanged.store(0);
    snapshot = cycle.resultList;
    checkTimes_ = cycle.checkTimes;
  }
  AccountList& accounts = cycle.Accounts;
  accountNames_.clear();
  for (const TEmlAccount& a : accounts) accountNames_.push_back(a.name);
  std::vector<std::vector<const MessageSummary*>> byAccount(accounts.size());
  for (const MessageSummary& m : snapshot) {
    if (m.accountIndex >= 0 && static_cast<size_t>(m.accountIndex) < accounts.size()) {
      byAccount[static_cast<size_t>(m.accountIndex)].push_back(&m);
    }
  }
  if (built_.size() != accounts.size()) built_.assign(accounts.size(), std::nullopt);
  rows_.beginUpdate();
  for (size_t i = 0; i < accounts.size(); ++i) {
    std::vector<std::string> times;
    if (displayMsgDate_) {
      for (const MessageSummary* m : byAccount[i]) {
        if (m->kind == RowKind::Message) times.push_back(RelativeTime(m->received));
      }
    }
    if (built_[i] && sameInputs(*built_[i], byAccount[i], times, accounts[i], cycle.firstCycle)) continue;
    Plan plan = planAccount(static_cast<int>(i), accounts[i], byAccount[i], cycle.firstCycle);
    applyPlan(static_cast<int>(i), accounts[i], plan);
    BlockInputs in;
    // The snapshot is ours and this account's rows are done with: move them.
    in.rows.reserve(byAccount[i].size());
    for (const MessageSummary* m : byAccount[i])
      in.rows.push_back(std::move(snapshot[static_cast<size_t>(m - snapshot.data())]));
    in.times = std::move(times);
    in.folders = accounts[i].folders;
    in.name = accounts[i].name;
    in.server = accounts[i].server;
    in.firstCycle = cycle.firstCycle;
    in.hasMessages = accounts[i].hasMessages;
    in.shows = shownPrivacy(accounts[i], displayMsgPreview_);
    in.width = listWidth();
    built_[i] = std::move(in);
  }
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
