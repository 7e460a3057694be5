#pragma once
// One account check by the real checker of a CheckCycle over a memory
// stream. The fuzz bytes after the first are the server's side of the
// connection, in turns: the server sends a turn when the client has written
// its next command (or waits for a reply that has not come), so the session's
// "discard what already arrived" reads only what a server would have sent
// unasked. Byte 0x02 ends a turn, 0x01 ends a chunk within it (a read never
// spans chunks, so lines and literals split anywhere); 0x01 0x01 and
// 0x01 0x02 stand for the bytes 0x01 and 0x02. The bits of the first byte
// choose options.
//
// Every row the check publishes is checked: valid UTF-8 without control
// characters, no wider than its field, of the checked account; and the check
// ends (its done message arrives).
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <memory>
#include <string>
#include <string_view>

#include "checking/check_cycle.h"
#include "checking/message_queue.h"
#include "common/text.h"
#include "protocols/byte_stream.h"

namespace brivane::fuzz {

using Turn = std::deque<std::string>;

inline std::deque<Turn> serverTurns(std::string_view bytes) {
  std::deque<Turn> turns(1, Turn(1));
  for (size_t i = 0; i < bytes.size(); ++i) {
    const char c = bytes[i];
    if (c == '\x01' && i + 1 < bytes.size() && (bytes[i + 1] == '\x01' || bytes[i + 1] == '\x02')) {
      turns.back().back().push_back(bytes[++i]);
    } else if (c == '\x01') {
      turns.back().emplace_back();
    } else if (c == '\x02') {
      turns.emplace_back(1);
    } else {
      turns.back().back().push_back(c);
    }
  }
  return turns;
}

// The server's side: a memory stream that receives its next turn when the
// client writes, or when the client reads with nothing left to read.
class TurnStream : public MemoryStream {
 public:
  explicit TurnStream(std::deque<Turn> turns) : turns_(std::move(turns)) {}

  size_t read(char* buf, size_t cap, int timeoutMs) override {
    while (!MemoryStream::readableWithin(0) && !turns_.empty()) nextTurn();
    return MemoryStream::read(buf, cap, timeoutMs);
  }
  void write(std::string_view data) override {
    MemoryStream::write(data);
    if (!turns_.empty()) nextTurn();
  }

 private:
  void nextTurn() {
    for (std::string& chunk : turns_.front()) push(std::move(chunk));
    turns_.pop_front();
  }
  std::deque<Turn> turns_;
};

inline void checkRowText(std::string_view text, size_t width) {
  if (!isValidUtf8(text) || utf8Length(text) > width) std::abort();
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7F) std::abort();
    // C1 controls: U+0080..U+009F, encoded C2 80..C2 9F.
    if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) <= 0x9F) std::abort();
  }
}

inline void runCheck(TEmlAccount account, bool preview, std::string_view serverBytes) {
  MessageQueue queue;
  CheckCycle cycle(queue);
  cycle.logDirectory = [](std::string&) { return false; };  // no connection log files
  std::deque<Turn> turns = serverTurns(serverBytes);
  cycle.connector = [&turns](const Transport::ConnectRequest&) -> std::unique_ptr<ByteStream> {
    return std::make_unique<TurnStream>(std::move(turns));
  };
  cycle.Accounts = {std::move(account)};
  cycle.displayMsgPreview = preview;
  if (!cycle.StartCheckCycle()) std::abort();
  const auto deadline = CheckCycle::Clock::now() + std::chrono::seconds(8);
  while (cycle.liveCheckers() > 0) {
    const auto m = queue.waitNext(deadline);
    if (!m) std::abort();  // the check did not end
    cycle.onDone(m->message, m->wParam);
  }
  for (const MessageSummary& row : cycle.resultList) {
    if (row.accountIndex != 0) std::abort();
    checkRowText(row.sender, MessageSummary::kSenderWidth);
    checkRowText(row.subject, MessageSummary::kSubjectWidth);
    checkRowText(row.preview, MessageSummary::kPreviewWidth);
    checkRowText(row.messageUid, MessageSummary::kUidWidth);
    checkRowText(row.folder, MessageSummary::kFolderWidth);
  }
}

}  // namespace brivane::fuzz
