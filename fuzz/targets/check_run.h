#pragma once
// One account check by the real checker of a CheckCycle over a memory
// stream. The fuzz bytes after the first are the server's side of the
// connection, in turns: the server sends a turn when the client has written
// its next command (or waits for a reply that has not come), so the session's
// "discard what already arrived" reads only what a server would have sent
// unasked. Byte 0x02 ends a turn, 0x01 ends a chunk within it (a read never
// spans chunks, so lines and literals split anywhere); 0x03 makes the server
// fall silent there until the client writes again (a half-arrived line, then
// the check's time limit of 300 ms); 0x04 asks the cycle to stop when the
// server gets there. 0x01 followed by 0x01 to 0x04 stands for that byte. The
// bits of the first byte choose options.
//
// Every row the check publishes is checked: valid UTF-8 without control
// characters, no wider than its field, of the checked account, and a message
// row in a folder the account watches (the message list finds its block);
// no more message rows than headers the server sent (IMAP) or header
// requests (POP3); "new mail" only from a check that ends showing messages and no
// error; and the check ends (its done message arrives).
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "checking/check_cycle.h"
#include "checking/checker_rows.h"
#include "checking/message_queue.h"
#include "common/text.h"
#include "protocols/byte_stream.h"
#include "protocols/pop3_session.h"
#include "protocols/protocol_errors.h"
#include "settings/accounts.h"

namespace brivane::fuzz {

// Stops the run on a wrong answer, saying which.
[[noreturn]] inline void fail(const char* why) {
  std::fprintf(stderr, "wrong answer: %s\n", why);
  std::abort();
}

// A chunk, or one of the marks between chunks.
struct Piece {
  enum Kind { Bytes, Silence, Stop } kind = Bytes;
  std::string bytes;
};
using Turn = std::deque<Piece>;

inline std::deque<Turn> serverTurns(std::string_view bytes) {
  std::deque<Turn> turns(1, Turn(1));
  for (size_t i = 0; i < bytes.size(); ++i) {
    const char c = bytes[i];
    if (c == '\x01' && i + 1 < bytes.size() && bytes[i + 1] >= '\x01' && bytes[i + 1] <= '\x04') {
      turns.back().back().bytes.push_back(bytes[++i]);
    } else if (c == '\x01') {
      turns.back().emplace_back();
    } else if (c == '\x02') {
      turns.emplace_back(1);
    } else if (c == '\x03' || c == '\x04') {
      turns.back().push_back({c == '\x03' ? Piece::Silence : Piece::Stop, {}});
      turns.back().emplace_back();
    } else {
      turns.back().back().bytes.push_back(c);
    }
  }
  return turns;
}

// One command of the client and the bytes the server sent after it.
struct Exchange {
  std::string command;
  std::string reply;
};

// The server's side: a memory stream that receives its next turn when the
// client writes, or when the client reads with nothing left to read (unless
// the server has fallen silent).
class TurnStream : public MemoryStream {
 public:
  TurnStream(std::deque<Turn> turns, std::vector<Exchange>& exchanges, std::function<void()> onStop)
      : MemoryStream({}, false), turns_(std::move(turns)), exchanges_(exchanges), onStop_(std::move(onStop)) {
    exchanges_.emplace_back();  // the greeting
  }

  size_t read(char* buf, size_t cap, int timeoutMs) override {
    while (!silent_ && !MemoryStream::readableWithin(0) && !turns_.empty()) nextTurn();
    if (!MemoryStream::readableWithin(0)) {
      if (silent_ || turns_.empty()) {
        if (turns_.empty() && !silent_) throw ConnectionClosedError();
        // Silence: time passes (the check's time limit ends it).
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(timeoutMs < 0 ? 50 : timeoutMs, 50)));
        return 0;
      }
    }
    return MemoryStream::read(buf, cap, timeoutMs);
  }
  void write(std::string_view data) override {
    MemoryStream::write(data);
    exchanges_.push_back({std::string(data), {}});
    silent_ = false;
    if (!turns_.empty()) nextTurn();
  }

 private:
  void nextTurn() {
    Turn turn = std::move(turns_.front());
    turns_.pop_front();
    for (Piece& piece : turn) {
      if (piece.kind == Piece::Silence) {
        silent_ = true;
        return;  // the rest of the turn never comes
      }
      if (piece.kind == Piece::Stop) {
        if (onStop_) onStop_();
        continue;
      }
      exchanges_.back().reply += piece.bytes;
      push(std::move(piece.bytes));
    }
  }
  std::deque<Turn> turns_;
  std::vector<Exchange>& exchanges_;
  std::function<void()> onStop_;
  bool silent_ = false;
};

inline void checkRowText(std::string_view text, size_t width) {
  if (!isValidUtf8(text) || utf8Length(text) > width) fail("a row text not UTF-8 or too wide");
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7F) fail("a control character in a row");
    // C1 controls: U+0080..U+009F, encoded C2 80..C2 9F.
    if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) <= 0x9F)
      fail("a C1 control character in a row");
  }
}

// The most message rows a check may show: IMAP, the non-empty header values
// in all the server sent (replies may spread over the client's commands, so
// the whole transcript is searched); POP3, the TOP commands sent.
inline size_t headersAnswered(const std::vector<Exchange>& exchanges, bool pop) {
  size_t n = 0;
  std::string all;
  for (const Exchange& e : exchanges) {
    n += pop && e.command.starts_with("TOP ");
    all += e.reply;
  }
  if (pop) return n;
  const std::string lower = asciiLower(all);
  for (size_t at = lower.find("rfc822.header"); at != std::string::npos; at = lower.find("rfc822.header", at + 1)) {
    size_t i = at + 13;
    while (i < lower.size() && lower[i] == ' ') ++i;
    if (i < lower.size() && lower[i] == '~') ++i;
    bool value = i + 1 < lower.size() && lower[i] == '"' && lower[i + 1] != '"';
    if (i < lower.size() && lower[i] == '{') {
      for (size_t j = i + 1; j < lower.size() && lower[j] >= '0' && lower[j] <= '9'; ++j) value |= lower[j] != '0';
    }
    n += value;
  }
  return n;
}

inline void runCheck(TEmlAccount account, bool preview, std::string_view serverBytes) {
  MessageQueue queue;
  CheckCycle cycle(queue);
  cycle.logDirectory = [](std::string&) { return false; };  // no connection log files
  cycle.checkTimeLimit = std::chrono::milliseconds(300);    // ends a silence
  std::deque<Turn> turns = serverTurns(serverBytes);
  std::vector<Exchange> exchanges;
  cycle.connector = [&](const Transport::ConnectRequest&) -> std::unique_ptr<ByteStream> {
    return std::make_unique<TurnStream>(std::move(turns), exchanges, [&cycle] { cycle.requestStopAll(); });
  };
  const bool pop = account.isPOP;
  std::vector<std::string> folders = account.folders;
  if (pop) folders = {"INBOX;Inbox"};
  cycle.Accounts = {std::move(account)};
  cycle.displayMsgPreview = preview;
  if (!cycle.StartCheckCycle()) fail("the cycle did not start");
  const auto deadline = CheckCycle::Clock::now() + std::chrono::seconds(8);
  while (cycle.liveCheckers() > 0) {
    const auto m = queue.waitNext(deadline);
    if (!m) fail("the check did not end");
    cycle.onDone(m->message, m->wParam);
  }
  if (std::getenv("BRIVANE_FUZZ_TRACE")) {  // the dialogue and the rows, to read a finding
    for (const Exchange& e : exchanges) std::fprintf(stderr, "C: %sS: %s\n", e.command.c_str(), e.reply.c_str());
    for (const MessageSummary& row : cycle.resultList)
      std::fprintf(stderr, "row %d [%s] %s | %s\n", static_cast<int>(row.kind), row.folder.c_str(), row.sender.c_str(),
                   row.subject.c_str());
  }
  size_t messageRows = 0;
  bool errorRow = false;
  for (const MessageSummary& row : cycle.resultList) {
    if (row.accountIndex != 0) fail("a row of another account");
    checkRowText(row.sender, MessageSummary::kSenderWidth);
    checkRowText(row.subject, MessageSummary::kSubjectWidth);
    checkRowText(row.preview, MessageSummary::kPreviewWidth);
    checkRowText(row.messageUid, MessageSummary::kUidWidth);
    checkRowText(row.folder, std::string_view::npos);
    errorRow |= row.kind == RowKind::Error;
    if (row.kind != RowKind::Message) continue;
    ++messageRows;
    // The message list shows a row in the block of the folder it names.
    bool watched = false;
    for (const std::string& f : folders) watched |= folderKey(FolderPath(f)) == folderKey(row.folder);
    if (!watched) fail("a message row outside the watched folders");
  }
  if (messageRows > headersAnswered(exchanges, pop)) fail("more message rows than headers answered");
  if (cycle.newMailArrived.load() && (messageRows == 0 || errorRow)) fail("new mail without message rows, or with an error");
}

}  // namespace brivane::fuzz
