#include "checking/connection_tester.h"

#include <chrono>

#include "checking/checker_thread.h"
#include "checking/session_setup.h"
#include "checking/sign_in.h"
#include "protocols/imap_session.h"
#include "protocols/pop3_session.h"
#include "protocols/protocol_errors.h"
#include "protocols/transport.h"

namespace brivane {

namespace {

using Outcome = ConnectionTestResult::Outcome;

ConnectionTestResult failure(Outcome outcome, std::string message) {
  ConnectionTestResult r;
  r.outcome = outcome;
  r.message = std::move(message);
  return r;
}

// What a failure of the connection or the login comes to for the user.
ConnectionTestResult describe(std::exception_ptr error, const TEmlAccount& account) {
  try {
    std::rethrow_exception(error);
  } catch (const StopRequestedError&) {
    return failure(Outcome::Stopped, "Stopped");
  } catch (const CertificateError& e) {
    ConnectionTestResult r = failure(Outcome::Certificate, e.what());
    r.certificate = e.certificate();
    return r;
  } catch (const StartTlsError& e) {
    return failure(Outcome::NoStartTls, e.what());
  } catch (const SignInCommandError& e) {
    return failure(Outcome::CannotLogin, "The sign-in command failed (" + e.detail() + ")");
  } catch (const OAuthNotOfferedError& e) {
    return failure(Outcome::CannotLogin, e.what());
  } catch (const KeyringSignInError& e) {
    return failure(Outcome::CannotLogin, e.detail());
  } catch (const ImapLoginDisabledError&) {
    return failure(Outcome::NeedsTls, account.server +
                                          " accepts passwords only over an encrypted connection - choose TLS or "
                                          "STARTTLS");
  } catch (const Pop3ReplyError& e) {
    if (isServerSideRefusal(e.extendedCode()))
      return failure(Outcome::CannotConnect, "The server refused the login for now: [" + e.extendedCode() + "] " +
                                                 escapeControl(e.text()));
    return failure(Outcome::CannotLogin, "Could not login to server - please check your username and password");
  } catch (const SocketError& e) {
    return failure(Outcome::CannotConnect, "Could not connect to " + account.server + ": " + e.systemText());
  } catch (const std::exception& e) {
    return failure(Outcome::CannotConnect, "Could not connect to " + account.server + ": " + escapeControl(e.what()));
  }
}

template <class Session>
void prepare(Session& client, Transport& transport, const TEmlAccount& account, const ConnectionTestOptions& options,
             AccountSecret& secret) {
  configureSession(client, transport, account);
  if (options.login) secret.applyTo(client);
  if (options.inspectOnly && !options.login) transport.setTlsTrust(TlsTrust{account.trustedCertificate, true});
  client.setConnectTimeout(options.timeoutMs);
}

}  // namespace

ConnectionTestResult testConnection(const TEmlAccount& account, const ConnectionTestOptions& options,
                                    const std::atomic<bool>* stop) {
  const MissingDetail missing = firstMissingDetail(account.server, options.login ? account.username : "-",
                                                   options.login ? credentialOf(account) : "-", account.port);
  if (missing != MissingDetail::None) return failure(Outcome::Incomplete, "Please enter complete account details");

  Transport transport;
  transport.setStopFlag(stop);
  transport.setLineLimit(options.timeoutMs);
  // The whole test, however a server drips its replies.
  transport.setCheckLimit(std::chrono::milliseconds(3LL * options.timeoutMs));
  ConnectionTestResult result;
  const auto finish = [&](auto& client, bool loggedIn) {
    result.outcome = Outcome::Success;
    result.message = !options.login ? "Connected successfully"
                     : loggedIn     ? "Connected and logged in successfully"
                                    : "";
    if (options.login && !loggedIn)
      result = failure(Outcome::CannotLogin, "Could not login to server - please check your username and password");
    disconnectQuietly(client);
  };
  AccountSecret secret(account, stop, {}, true);  // the editor's test: the keyring may prompt
  try {
    if (options.login) secret.fetch();
    if (account.isPOP) {
      Pop3Session client(&transport);
      prepare(client, transport, account, options, secret);
      client.setLoginOnConnect(options.login);
      try {
        client.connect();
      } catch (...) {
        disconnectQuietly(client);
        throw;
      }
      finish(client, client.connected());
    } else {
      ImapSession client;
      client.setTransport(&transport);
      prepare(client, transport, account, options, secret);
      client.connect(options.login);
      finish(client, client.state() == ImapState::Authenticated);
    }
  } catch (...) {
    result = describe(std::current_exception(), account);
  }
  if (!result.certificate) result.certificate = transport.peerCertificate();
  if (stop && stop->load(std::memory_order_acquire)) return failure(Outcome::Stopped, "Stopped");
  return result;
}

TConnectionTest::TConnectionTest(MessageTarget& target, uint32_t doneMessage, uintptr_t wParam)
    : target_(target), doneMessage_(doneMessage), wParam_(wParam) {}

TConnectionTest::~TConnectionTest() {
  requestStop();
  join();
}

void TConnectionTest::execute() {
  result_ = testConnection(account, options, &stopFlag());
  target_.post(doneMessage_, wParam_);
  donePosted_ = true;
}

void TConnectionTest::abandoned(const std::string& why) {
  if (donePosted_) return;
  result_ = failure(ConnectionTestResult::Outcome::CannotConnect, "The connection test could not run: " + why);
  target_.post(doneMessage_, wParam_);
  donePosted_ = true;
}

}  // namespace brivane
