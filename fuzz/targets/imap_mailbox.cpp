// A whole IMAP account check against a scripted server that answers from a
// mailbox model the fuzz bytes describe: which folders the server has, the
// messages of each (seen or not, new or not) and the faults to play (a
// refused SELECT; a STATUS refused or answered without UNSEEN; a header
// FETCH answered NIL, with a bare OK or refused). The rows must be exactly
// the model's unseen messages whose header came, folder by folder in the
// account's order, in every folder that opened; "new mail" only with rows.
//
// Bytes: the first holds options (bit 0: previews), the second the server's
// folders (one bit each), then per folder on the server a fault byte and a
// message count, then one byte per message. Missing bytes read as 0.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "checking/check_cycle.h"
#include "checking/checker_rows.h"
#include "checking/message_queue.h"
#include "common/text.h"
#include "protocols/byte_stream.h"
#include "protocols/imap_utf7.h"
#include "settings/accounts.h"

using namespace brivane;

namespace {

[[noreturn]] void fail(const char* why) {
  std::fprintf(stderr, "wrong answer: %s\n", why);
  std::abort();
}

const std::string kLongPath = "Lists/" + std::string(110, 'x');

// Folder names on the server (wire form); their keys differ.
const std::vector<std::string>& serverNames() {
  static const std::vector<std::string> names = {"INBOX", "Sent Items", "Lists ", kLongPath, "Entw&APw-rfe",
                                                 "Archive"};
  return names;
}

struct Message {
  bool seen = false;
  bool fresh = false;  // matched by SEARCH NEW
  int headerFault = 0;  // 0 header, 1 NIL, 2 bare OK, 3 NO
};

struct Folder {
  std::string wire;
  bool refuseSelect = false;
  int statusFault = 0;  // 0 normal, 1 without UNSEEN, 2 NO
  std::vector<Message> messages;
  size_t unseen() const {
    size_t n = 0;
    for (const Message& m : messages) n += !m.seen;
    return n;
  }
};

struct Model {
  bool preview = false;
  std::vector<Folder> folders;
  const Folder* find(std::string_view wire) const {
    for (const Folder& f : folders)
      if (f.wire == wire) return &f;
    return nullptr;
  }
};

Model readModel(const uint8_t* data, size_t size) {
  size_t at = 0;
  auto next = [&]() -> uint8_t { return at < size ? data[at++] : 0; };
  Model model;
  model.preview = next() & 1;
  const uint8_t present = next() | 1;  // INBOX is always there
  for (size_t i = 0; i < serverNames().size(); ++i) {
    if (!(present & (1u << i))) continue;
    Folder f;
    f.wire = serverNames()[i];
    const uint8_t faults = next();
    f.refuseSelect = (faults & 3) == 3;
    f.statusFault = (faults >> 2) % 3;
    f.messages.resize(next() % 6);
    for (Message& m : f.messages) {
      const uint8_t b = next();
      m.seen = b & 1;
      m.fresh = b & 2;
      m.headerFault = (b >> 2) & 3;
    }
    model.folders.push_back(std::move(f));
  }
  return model;
}

std::string subjectOf(const Folder& f, size_t n) { return "s" + std::to_string(f.wire.size()) + "-" + std::to_string(n); }

// The server: answers each command line the client writes from the model.
class ModelServer : public MemoryStream {
 public:
  explicit ModelServer(const Model& model) : MemoryStream({}, true), model_(model) {
    push("* OK ready\r\n");
  }
  void write(std::string_view data) override {
    MemoryStream::write(data);
    pending_.append(data);
    for (size_t end; (end = pending_.find("\r\n")) != std::string::npos;) {
      answer(pending_.substr(0, end));
      pending_.erase(0, end + 2);
    }
  }

 private:
  void answer(const std::string& line) {
    const size_t blank = line.find(' ');
    const std::string tag = line.substr(0, blank);
    const std::string command = blank == std::string::npos ? "" : line.substr(blank + 1);
    const auto done = [&](const std::string& status = "OK done") { push(tag + " " + status + "\r\n"); };
    if (command.starts_with("LOGIN ")) return done();
    if (command == "CAPABILITY") {
      push("* CAPABILITY IMAP4rev1\r\n");
      return done();
    }
    if (command.starts_with("LIST ")) {
      for (const Folder& f : model_.folders) push("* LIST (\\HasNoChildren) \"/\" " + quoted(f.wire) + "\r\n");
      return done();
    }
    if (command.starts_with("SELECT ")) {
      selected_ = model_.find(unquoted(command.substr(7)));
      if (!selected_ || selected_->refuseSelect) {
        selected_ = nullptr;
        return done("NO no such folder");
      }
      push("* " + std::to_string(selected_->messages.size()) + " EXISTS\r\n");
      return done("OK [READ-WRITE] done");
    }
    if (command.starts_with("STATUS ")) {
      const Folder* f = model_.find(unquoted(command.substr(7)));
      if (!f || f->statusFault == 2) return done("NO no status");
      push("* STATUS " + quoted(f->wire) + " (MESSAGES " + std::to_string(f->messages.size()) +
           (f->statusFault == 1 ? ")" : " UNSEEN " + std::to_string(f->unseen()) + ")") + "\r\n");
      return done();
    }
    if (!selected_) return done("BAD nothing selected");
    if (command == "SEARCH UNSEEN" || command == "SEARCH NEW") {
      std::string found = "* SEARCH";
      for (size_t i = 0; i < selected_->messages.size(); ++i) {
        const Message& m = selected_->messages[i];
        if (!m.seen && (command == "SEARCH UNSEEN" || m.fresh)) found += " " + std::to_string(i + 1);
      }
      push(found + "\r\n");
      return done();
    }
    if (command.starts_with("FETCH ")) {
      const size_t n = std::strtoul(command.c_str() + 6, nullptr, 10);
      if (n == 0 || n > selected_->messages.size()) return done("BAD no such message");
      const Message& m = selected_->messages[n - 1];
      const std::string number = std::to_string(n);
      if (command.ends_with("(RFC822.HEADER)")) {
        if (m.headerFault == 3) return done("NO [EXPUNGEISSUED] gone");
        if (m.headerFault == 1) push("* " + number + " FETCH (RFC822.HEADER NIL)\r\n");
        if (m.headerFault == 0) {
          const std::string header = "From: a@example.org\r\nSubject: " + subjectOf(*selected_, n) + "\r\n\r\n";
          push("* " + number + " FETCH (RFC822.HEADER {" + std::to_string(header.size()) + "}\r\n" + header + ")\r\n");
        }
        return done();
      }
      if (command.ends_with("(UID)")) {
        push("* " + number + " FETCH (UID " + std::to_string(100 + n) + ")\r\n");
        return done();
      }
      push("* " + number + " FETCH (BODY[TEXT]<0> {5}\r\nHello)\r\n");
      return done();
    }
    if (command == "LOGOUT") {
      push("* BYE bye\r\n");
      return done();
    }
    done("BAD unknown command");
  }
  static std::string quoted(const std::string& s) { return "\"" + s + "\""; }
  static std::string unquoted(std::string_view s) {
    std::string out;
    if (s.empty() || s[0] != '"') return std::string(s.substr(0, s.find(' ')));
    for (size_t i = 1; i < s.size() && s[i] != '"'; ++i) {
      if (s[i] == '\\' && i + 1 < s.size()) ++i;
      out += s[i];
    }
    return out;
  }

  const Model& model_;
  const Folder* selected_ = nullptr;
  std::string pending_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Model model = readModel(data, size);
  TEmlAccount account;
  account.name = "Model box";
  account.server = "imap.example";
  account.username = "ann";
  account.password = "secret";
  account.port = 143;
  account.folders = {"INBOX;Inbox", "Lists;Lists", kLongPath + ";Long", "Entw\xC3\xBCrfe;Drafts", "Sent Items;Sent"};

  // The rows the model says the check shows.
  std::vector<std::string> expected;
  for (const std::string& entry : account.folders) {
    for (const Folder& f : model.folders) {
      if (folderKey(decodeModifiedUtf7(f.wire)) != folderKey(FolderPath(entry)) || f.refuseSelect) continue;
      for (size_t i = 0; i < f.messages.size(); ++i)
        if (!f.messages[i].seen && f.messages[i].headerFault == 0)
          expected.push_back(decodeModifiedUtf7(f.wire) + "|" + subjectOf(f, i + 1));
    }
  }

  MessageQueue queue;
  CheckCycle cycle(queue);
  cycle.logDirectory = [](std::string&) { return false; };
  cycle.connector = [&model](const Transport::ConnectRequest&) -> std::unique_ptr<ByteStream> {
    return std::make_unique<ModelServer>(model);
  };
  cycle.Accounts = {account};
  cycle.displayMsgPreview = model.preview;
  if (!cycle.StartCheckCycle()) fail("the cycle did not start");
  const auto deadline = CheckCycle::Clock::now() + std::chrono::seconds(8);
  while (cycle.liveCheckers() > 0) {
    const auto m = queue.waitNext(deadline);
    if (!m) fail("the check did not end");
    cycle.onDone(m->message, m->wParam);
  }
  std::vector<std::string> shown;
  for (const MessageSummary& row : cycle.resultList)
    if (row.kind == RowKind::Message) shown.push_back(row.folder + "|" + row.subject);
  if (std::getenv("BRIVANE_FUZZ_TRACE")) {
    for (const std::string& r : expected) std::fprintf(stderr, "expected %s\n", r.c_str());
    for (const MessageSummary& row : cycle.resultList)
      std::fprintf(stderr, "row %d %s|%s\n", static_cast<int>(row.kind), row.folder.c_str(), row.subject.c_str());
  }
  if (shown != expected) fail("the rows differ from the model's unseen messages");
  if (cycle.newMailArrived.load() && shown.empty()) fail("new mail without message rows");
  return 0;
}
