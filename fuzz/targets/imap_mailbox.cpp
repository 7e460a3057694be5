// Two IMAP account checks of one run against a scripted server that answers
// from a mailbox model the fuzz bytes describe: which folders the server has,
// the messages of each (seen or not, \Recent or not) and the faults to play
// (a refused EXAMINE; no UIDNEXT in its reply; FETCH items in another order;
// a header answered NIL, left out, or left out with a refused FETCH). Both
// checks must show exactly the model's unseen messages whose header came,
// folder by folder in the account's order, in every folder that opened; the
// second (from the run's cache) the same rows as the first, and no new mail,
// since nothing arrived between them; "new mail" only with rows.
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
  bool noUidNext = false;      // EXAMINE answered without UIDNEXT
  bool itemsReversed = false;  // FETCH items in another order
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
    f.noUidNext = faults & 4;
    f.itemsReversed = faults & 8;
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
  // `fetched` counts the messages whose header was asked for.
  ModelServer(const Model& model, size_t& fetched) : MemoryStream({}, true), model_(model), fetched_(fetched) {
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
    if (command.starts_with("EXAMINE ")) {
      selected_ = model_.find(unquoted(command.substr(8)));
      if (!selected_ || selected_->refuseSelect) {
        selected_ = nullptr;
        return done("NO no such folder");
      }
      size_t recent = 0;
      for (const Message& m : selected_->messages) recent += m.fresh;
      push("* " + std::to_string(selected_->messages.size()) + " EXISTS\r\n* " + std::to_string(recent) +
           " RECENT\r\n* OK [UIDVALIDITY 5] v\r\n");
      if (!selected_->noUidNext) push("* OK [UIDNEXT " + std::to_string(uidOf(selected_->messages.size() + 1)) + "] n\r\n");
      return done("OK [READ-ONLY] done");
    }
    if (!selected_) return done("BAD nothing selected");
    if (command == "UID SEARCH UNSEEN" || command == "UID SEARCH NEW") {
      std::string found = "* SEARCH";
      for (size_t i = 0; i < selected_->messages.size(); ++i) {
        const Message& m = selected_->messages[i];
        if (!m.seen && (command == "UID SEARCH UNSEEN" || m.fresh)) found += " " + std::to_string(uidOf(i + 1));
      }
      push(found + "\r\n");
      return done();
    }
    if (command == "UID FETCH * (UID)") {
      if (!selected_->messages.empty())
        push("* " + std::to_string(selected_->messages.size()) + " FETCH (UID " +
             std::to_string(uidOf(selected_->messages.size())) + ")\r\n");
      return done();
    }
    if (command.starts_with("UID FETCH ")) {
      const bool text = command.find("BODY.PEEK[TEXT]") != std::string::npos;
      if (!command.ends_with(text ? " (UID RFC822.HEADER BODY.PEEK[TEXT]<0.65536>)" : " (UID RFC822.HEADER)"))
        return done("BAD unexpected items");
      bool refused = false;
      for (size_t n = 1; n <= selected_->messages.size(); ++n) {
        if (!inSet(command.substr(10, command.find(' ', 10) - 10), uidOf(n))) continue;
        ++fetched_;
        const Message& m = selected_->messages[n - 1];
        const std::string head = "* " + std::to_string(n) + " FETCH (";
        const std::string uid = "UID " + std::to_string(uidOf(n));
        const std::string body = text ? "BODY[TEXT]<0> {5}\r\nHello" : "";
        if (m.headerFault == 1) push(head + uid + " RFC822.HEADER NIL)\r\n");
        if (m.headerFault == 3) refused = true;
        if (m.headerFault != 0) continue;
        const std::string header = "From: a@example.org\r\nSubject: " + subjectOf(*selected_, n) + "\r\n\r\n";
        const std::string h = "RFC822.HEADER {" + std::to_string(header.size()) + "}\r\n" + header;
        if (selected_->itemsReversed)
          push(head + (text ? body + " " : "") + h + " " + uid + ")\r\n");
        else
          push(head + uid + " " + h + (text ? " " + body : "") + ")\r\n");
      }
      return done(refused ? "NO Some messages could not be fetched" : "OK done");
    }
    if (command == "LOGOUT") {
      push("* BYE bye\r\n");
      return done();
    }
    done("BAD unknown command");
  }
  static uint32_t uidOf(size_t n) { return static_cast<uint32_t>(1000 + 3 * n); }  // ascending, with gaps
  // Whether a sequence set ("a:b,c") holds `uid`.
  static bool inSet(std::string_view set, uint32_t uid) {
    while (!set.empty()) {
      const std::string_view part = set.substr(0, set.find(','));
      set.remove_prefix(std::min(set.size(), part.size() + 1));
      const size_t colon = part.find(':');
      const unsigned long lo = std::strtoul(std::string(part.substr(0, colon)).c_str(), nullptr, 10);
      const unsigned long hi =
          colon == std::string_view::npos ? lo : std::strtoul(std::string(part.substr(colon + 1)).c_str(), nullptr, 10);
      if (uid >= std::min(lo, hi) && uid <= std::max(lo, hi)) return true;
    }
    return false;
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
  size_t& fetched_;
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
  size_t fetched = 0;
  cycle.connector = [&model, &fetched](const Transport::ConnectRequest&) -> std::unique_ptr<ByteStream> {
    return std::make_unique<ModelServer>(model, fetched);
  };
  cycle.Accounts = {account};
  cycle.displayMsgPreview = model.preview;
  const auto runCycle = [&] {
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
  };
  runCycle();
  const size_t firstFetched = fetched;
  runCycle();
  if (cycle.newMailArrived.load()) fail("the re-check announced mail that was there before");
  // The re-check asks only for the headers that did not come the first time.
  if (fetched - firstFetched != firstFetched - expected.size()) fail("the re-check fetched a header it had");
  return 0;
}
