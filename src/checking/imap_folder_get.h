#pragma once
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/message_target.h"
#include "platform/worker_thread.h"
#include "protocols/certificate.h"
#include "settings/account.h"

namespace brivane {

// The account editor's side of a folder listing: what TIMAPFolderGet hands
// over, always together and under `lock`. The editor's timer takes it.
struct FolderGetResult {
  enum Kind { FolderNames = 0, Message = 1 };

  std::mutex lock;
  bool newResult = false;
  int kind = Message;
  std::vector<std::string> lines;
  // With a Message: the certificate that was refused, when that was why.
  std::optional<CertificateInfo> certificate;

  struct Snapshot {
    int kind;
    std::vector<std::string> lines;
    std::optional<CertificateInfo> certificate;
  };
  // The new result, if one came since the last call (clears `newResult`).
  std::optional<Snapshot> take() {
    std::lock_guard guard(lock);
    if (!newResult) return std::nullopt;
    newResult = false;
    return Snapshot{kind, lines, certificate};
  }
};

// Lists the folders of an IMAP account for the account editor: connects and
// logs in with the details entered, LIST "" *, and hands over the decoded
// names in the server's order, or one line for the user. Posts 0x953F
// (wParam 0) to the editor when it ends.
class TIMAPFolderGet : public WorkerThread {
 public:
  TIMAPFolderGet(FolderGetResult& result, MessageTarget& editor);
  ~TIMAPFolderGet() override;

  // Filled by the editor before start(): server, port, username, password,
  // encryption (useTLS / encryption) and the trusted certificate.
  TEmlAccount account;

  static constexpr int kConnectTimeoutMs = 10000;

  static constexpr const char* kConnecting = "Connecting...";
  static constexpr const char* kIncomplete = "Please enter complete account details";
  static constexpr const char* kCannotConnect = "Could not connect to server - please check server details";
  static constexpr const char* kDownloading = "Downloading folders from server...";
  static constexpr const char* kNoFolderList = "ERROR: Could not download folder list from server";
  static constexpr const char* kNoStartTls = "The server does not offer STARTTLS";
  static constexpr const char* kNeedsTls =
      " accepts passwords only over an encrypted connection - choose TLS or STARTTLS";
  static constexpr const char* kCannotLogin = "Could not login to server - please check your username and password";

 protected:
  void execute() override;
  // An error escaping execute(), or a thread that could not start, still
  // tells the editor that the listing ended.
  void abandoned(const std::string& why) override;

 private:
  void Publish(int kind, std::optional<CertificateInfo> certificate = std::nullopt);
  void Report(const std::string& message);

  FolderGetResult& result_;
  MessageTarget& editor_;
  std::vector<std::string> lines_;
  bool donePosted_ = false;
};

}  // namespace brivane
