#include "checking/imap_folder_get.h"

#include <memory>

#include "checking/session_setup.h"
#include "checking/sign_in.h"
#include "common/messages.h"
#include "protocols/imap_session.h"
#include "protocols/protocol_errors.h"
#include "protocols/transport.h"

namespace brivane {

TIMAPFolderGet::TIMAPFolderGet(FolderGetResult& result, MessageTarget& editor)
    : result_(result), editor_(editor) {}

TIMAPFolderGet::~TIMAPFolderGet() {
  requestStop();
  join();
}

void TIMAPFolderGet::Publish(int kind, std::optional<CertificateInfo> certificate) {
  if (stopRequested()) return;
  std::lock_guard guard(result_.lock);
  result_.newResult = true;
  result_.kind = kind;
  result_.lines = lines_;
  result_.certificate = std::move(certificate);
}

void TIMAPFolderGet::Report(const std::string& message) {
  if (stopRequested()) return;
  lines_.assign(1, message);
  Publish(FolderGetResult::Message);
}

void TIMAPFolderGet::execute() {
  // Before the session, whose token source refers to it; the editor may let
  // the keyring prompt to unlock.
  AccountSecret secret(account, &stopFlag(), {}, true);
  auto tlsHandler = std::make_unique<Transport>();
  tlsHandler->setStopFlag(&stopFlag());
  auto client = std::make_unique<ImapSession>();
  Report(kConnecting);

  client->setTransport(tlsHandler.get());
  configureSession(*client, *tlsHandler, account);  // 143 becomes 993 with TLS

  [&] {
    if (firstMissingDetail(client->host(), client->username(), credentialOf(account), client->port()) !=
        MissingDetail::None) {
      Report(kIncomplete);
      return;
    }
    if (stopRequested()) return;
    try {
      secret.fetch();
    } catch (const SignInCommandError& e) {
      Report("The sign-in command failed (" + e.detail() + ")");
      return;
    } catch (const KeyringSignInError& e) {
      Report(e.detail());
      return;
    }
    secret.applyTo(*client);
    if (stopRequested()) return;
    client->setConnectTimeout(kConnectTimeoutMs);
    try {
      client->connect(true);
    } catch (const StopRequestedError&) {
      return;
    } catch (const CertificateError& e) {
      // The editor offers to review the certificate.
      lines_.assign(1, e.what());
      Publish(FolderGetResult::Message, e.certificate());
      return;
    } catch (const StartTlsError&) {
      Report(kNoStartTls);
      return;
    } catch (const ImapLoginDisabledError&) {
      Report(account.server + kNeedsTls);
      return;
    } catch (const OAuthNotOfferedError& e) {
      Report(e.what());
      return;
    } catch (const SignInCommandError& e) {  // the second run, after a refused token
      Report("The sign-in command failed (" + e.detail() + ")");
      return;
    } catch (const std::exception&) {
      Report(kCannotConnect);
      return;
    }
    if (stopRequested()) return;
    if (client->state() != ImapState::Authenticated) {
      Report(kCannotLogin);
      return;
    }
    Report(kDownloading);
    try {
      lines_.clear();
      // A refused or broken LIST is reported too: the editor would otherwise
      // show "Downloading..." for ever.
      if (!client->listFolders(lines_) || lines_.empty()) {
        lines_.clear();
        Report(kNoFolderList);
        return;
      }
      if (stopRequested()) return;
      Publish(FolderGetResult::FolderNames);
    } catch (const StopRequestedError&) {
    } catch (const std::exception&) {
      Report(kNoFolderList);
      if (!client->connected()) return;
      tlsHandler->close();  // the dialogue cannot go on: no LOGOUT
    }
    lines_.clear();
  }();

  disconnectQuietly(*client);
  client.reset();
  tlsHandler.reset();
  editor_.post(WM_FOLDERGETDONE, 0);
  donePosted_ = true;
}

void TIMAPFolderGet::abandoned(const std::string&) {
  if (!donePosted_) editor_.post(WM_FOLDERGETDONE, 0);
  donePosted_ = true;
}

}  // namespace brivane
