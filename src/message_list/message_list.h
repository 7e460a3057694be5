#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "checking/check_times.h"
#include "checking/message_summary.h"
#include "common/text.h"
#include "markup/markup_layout.h"
#include "markup/row_list.h"
#include "message_list/relative_time.h"
#include "message_list/status_rows.h"
#include "settings/account.h"
#include "settings/settings.h"

namespace brivane {

class CheckCycle;

// The window side of the message list: the saver window's client area and
// the message panel that holds the list. The model never touches a window.
class MessagePanelHost {
 public:
  virtual ~MessagePanelHost() = default;
  virtual int clientHeight() const = 0;  // the saver window's client height
  virtual int panelTop() const = 0;
  virtual int panelHeight() const = 0;
  virtual void setPanelHeight(int height) = 0;
  // Height of the panel that the list does not take (its borders).
  virtual int panelFrameHeight() const = 0;
  // The panel reaches below the window: move it. Called once per rebuild at
  // most, after the rows are complete and with no lock held.
  virtual void requestMove() = 0;
};

// The three fonts of the list: rows, bold sender lines, 8-point previews.
struct MessageListFonts {
  FontSpec row;
  FontSpec sender;
  FontSpec preview;
  // The sender and preview fonts derived from the row font.
  static MessageListFonts from(const FontSpec& row);
};

// The message list of the message panel: one block per shown account (a
// header row, then status, folder, sender and message rows), rebuilt from
// the result list the checkers publish. Every row is tagged with its
// account's index (-1 for the "not set up" row), so a block is found by its
// account, never by its text. Runs on the UI thread only.
class MessageListModel {
 public:
  using NowFn = RelativeTimes::NowFn;
  using DateFormatFn = RelativeTimes::DateFormatFn;

  MessageListModel(RowList& rows, MessagePanelHost& host, const TextMetrics& metrics,
                   MessageListFonts fonts);

  // The four display switches of the saver's settings.
  void setSettings(const SaverSettings& settings);
  void setClock(NowFn now) { times_.setClock(std::move(now)); }
  void setShortDate(DateFormatFn format);
  // The locale's short time ("14:02") of the headers' "checked at".
  void setShortTime(DateFormatFn format) { shortTime_ = std::move(format); }
  // Pictures are drawn at logical dpi / 96 of their size.
  void setPictureScale(double scale);
  void setFonts(MessageListFonts fonts);
  // Forgets measured cuts and rebuilt blocks (after a font or screen change).
  void resetCaches();

  // Clears the list: the "not set up" row without accounts, else a header
  // and a "Queued for check" row per account; then fits the panel.
  void FillInitialList(const AccountList& accounts);

  // When `listChanged` is set: clears it and copies the result list under
  // `resultLock`, then (with the lock free) rewrites the blocks of the
  // accounts whose rows say so. Rows that come out unchanged are left as
  // they are; drawing is suspended while rows change. Ends with
  // FitPanelHeight(false). True when the list was rebuilt.
  bool RebuildList(CheckCycle& cycle);

  // Rewrites the header rows whose freshness text ("checked 5 min ago")
  // changed, from the cycle's check times (copied under `resultLock`); no
  // other row is touched. For a timer between rebuilds. True when a header
  // changed.
  bool UpdateFreshness(CheckCycle& cycle);

  // Fits the panel to the rows: the bottom of the last row's lines plus the
  // panel's frame, at most the window's client height less 20; with growOnly the panel only grows. Asks for a move when the
  // panel then reaches below the window.
  void FitPanelHeight(bool growOnly);

  // The header row of account i, -1 when it has none.
  int FindAccountHeader(int i) const;
  // Removes the rows of account i's block after its header; the header's
  // row, or -1 when it has none.
  int ClearAccountRows(int i);
  // The row after account i's header, inserting the header before the next
  // shown account's block (or at the end) when it has none; with clearOld
  // the block's other rows go.
  int EnsureAccountHeader(int i, bool clearOld);

  // Appends a folder's rows to `out`: the folder row "Caption (n)", then the
  // messages newest first, grouped by sender at the place of the sender's
  // newest message. `shows` limits the rows: no previews; each sender as one
  // line with its count; the folder row alone.
  void ComposeFolder(std::vector<const MessageSummary*> messages, const std::string& caption,
                     std::vector<std::string>& out, PanelPrivacy shows = PanelPrivacy::Everything) const;

  // `text` cut with "..." so that it measures less than `width` in `font`,
  // its last `keep` characters kept. Works on plain text: escape afterwards.
  std::string FitText(std::string_view text, int width, size_t keep, const FontSpec& font) const;
  // Mark-up: `text` cut so that at least one blank's width stays before
  // `right` in a line of `width` pixels (from where the text starts to the
  // row's right edge), a right tab, then `right`, so that `right` ends at the
  // row's edge whatever the text; both escaped. Only `text`, cut to `width`,
  // when `right` is empty.
  std::string FitTextWithRight(std::string_view text, std::string_view right, int width,
                               const FontSpec& font) const;
  // "Just received", "20 secs ago", "1 mins ago", "2 hrs ago", "Today",
  // "Yesterday", "3 days ago" or the short date; empty for a time of 0.
  std::string RelativeTime(int64_t when) const { return times_.text(when); }

  // The header row of an account as it stands at `row`; `freshness`, when
  // given, greyed against the row's right edge.
  static std::string HeaderRow(std::string_view name, int row, std::string_view freshness = {});

  // The texts of the rows that stand for what a full panel leaves out:
  // "... and 1,952 more messages from 318 senders" (closing a folder) and
  // "... and 7 more accounts with 12,345 messages" (closing the list).
  static std::string MoreMessagesText(size_t messages, size_t senders);
  static std::string MoreAccountsText(size_t accounts, size_t messages);

 private:
  enum class Outcome { Untouched, Replace, Remove };
  // One folder's rows in the order the full list shows them (grouped by
  // sender), composed only as far as they are shown.
  struct FolderPart {
    struct Entry {
      const MessageSummary* message;
      uint32_t groupSize;  // the sender's message count on the group's first row, else 0
    };
    std::string head;  // the folder row; empty when it has none
    PanelPrivacy shows = PanelPrivacy::Everything;  // senders only: a row per sender, no message rows
    size_t messages = 0;
    std::vector<Entry> entries;  // one per row
    std::vector<uint32_t> groupEnds;  // where each sender's rows end
    struct Composed {
      std::string time, row;  // the time the row was composed with
      bool done = false;
    };
    std::vector<Composed> composed;  // the rows composed so far
  };
  struct Plan {
    Outcome outcome = Outcome::Untouched;
    std::vector<std::string> rows;  // the block after its header (status rows first)
    std::vector<FolderPart> folders;  // follow `rows`
    std::string header;  // replaces the header row when set (a shortened block)
    std::string statusCode, statusDetail;  // the block's first status row
  };
  // What a block was last built from: an account whose inputs are the same
  // again keeps its plan without being planned again (the rows it shows are
  // composed again when their times read differently).
  struct BlockInputs {
    std::vector<MessageSummary> rows;
    std::vector<std::string> folders;
    std::string name, server;
    bool firstCycle = false, hasMessages = false;
    PanelPrivacy shows = PanelPrivacy::Everything;
    int width = 0;
    bool operator==(const BlockInputs&) const = default;
  };
  bool sameInputs(const BlockInputs& memo, const std::vector<const MessageSummary*>& rows,
                  const TEmlAccount& account, bool firstCycle) const;
  // The start of a cut's cache key in fitKey_: width, kept characters (-1
  // for a cut with a text on the right) and font; the texts follow.
  std::string& startFitKey(int width, int32_t keep, const FontSpec& font) const;
  std::string cut(std::string_view text, int width, size_t keep, const FontSpec& font) const;
  Plan planAccount(int i, TEmlAccount& account, const std::vector<const MessageSummary*>& rows,
                   bool firstCycle) const;
  void applyPlan(int i, const TEmlAccount& account, Plan& plan);
  FolderPart prepareFolder(std::vector<const MessageSummary*> messages, const std::string& caption,
                           PanelPrivacy shows) const;
  // Row k of a folder, composed on first use and again when its time reads
  // differently.
  std::string& composedRow(FolderPart& folder, size_t k) const;
  std::string composeRow(const FolderPart& folder, const FolderPart::Entry& entry) const;
  // The height of a folder's row k: rows differ only in which lines they
  // have (the sender line, the preview), each measured once per rebuild.
  int entryHeight(const FolderPart& folder, const FolderPart::Entry& entry);
  // What each account's block shows so that the list fits the panel's
  // greatest height: the plans as applyPlan takes them.
  std::vector<Plan> fitPlans(const AccountList& accounts);
  // The height of a row of mark-up as the list would lay it out: measured
  // once per rebuild for rows of one shape (the same tags, text in the same
  // places), since a row's lines are as tall as their fonts and pictures.
  int measure(const std::string& row);
  void normalizeHeaderBreaks();
  // The block of account i: [header, end); header -1 when it has none.
  std::pair<int, int> blockOf(int i) const;
  // `detail`: the server's own words (a refused login), on a line of its own.
  std::string statusMarkup(std::string_view code, std::string_view server, std::string_view detail = {}) const;
  // Account i's header as it stands at `row`, with its freshness text.
  std::string headerText(int i, int row) const;
  // Rewrites the header rows whose text changed (freshness, name, the break
  // before them); true when one did.
  bool refreshHeaders();
  void copyCheckTimes(CheckCycle& cycle);
  StatusRowLayout statusLayout() const { return {metrics_, fonts_.row, listWidth(), pictureScale_}; }
  int listWidth() const { return rows_.clientWidth(); }
  // Where a message line's subject starts: the indent, then the icon at the
  // pictures' scale.
  int messageTextStart() const;

  RowList& rows_;
  MessagePanelHost& host_;
  const TextMetrics& metrics_;
  MessageListFonts fonts_;
  bool hideAccounts_ = false;
  bool hideFolders_ = true;
  bool displayMsgDate_ = true;
  bool displayMsgPreview_ = false;
  double pictureScale_ = 1.0;
  RelativeTimes times_;
  std::vector<std::string> accountNames_;
  std::vector<CheckTimes> checkTimes_;  // the cycle's, as of the last copy
  DateFormatFn shortTime_;
  bool moveDue_ = false;
  std::vector<std::optional<BlockInputs>> built_;
  // The plan of each account's block, over the rows of its built_ entry.
  std::vector<Plan> plans_;
  std::array<int, 16> entryHeights_{};  // by row shape; 0 when not measured in this rebuild
  std::unordered_map<std::string, int> shapeHeights_;  // by shape, for this rebuild
  std::string shapeKey_;
  // Cuts already measured, by font, width, kept characters and text.
  // Bounded: cleared when full.
  mutable StringKeyedMap<std::string> fitCache_;
  mutable std::string fitKey_;
};

}  // namespace brivane
