#include "checking/checker_thread.h"

#include <gtest/gtest.h>

#include "protocols/imap_session.h"
#include "protocols/protocol_errors.h"

namespace brivane {
namespace {

// One failure and what the checkers make of it (a refused connection and a
// mailbox in use are proved through the POP3 checker).
struct Failure {
  const char* name;
  std::exception_ptr error;
  CheckPhase phase;
  const char* word;  // nullptr: no row
  std::string log;   // what stands between " ERROR: " and "... quitting"; empty: no line
  bool close = false;
  std::string serverText = {};
};
void PrintTo(const Failure& f, std::ostream* os) { *os << f.name; }

class DescribeFailure : public ::testing::TestWithParam<Failure> {};

TEST_P(DescribeFailure, GivesTheRowTheLogLineAndWhetherToClose) {
  const Failure& f = GetParam();
  const CheckFailure got = describeFailure(f.error, f.phase);
  EXPECT_STREQ(got.statusWord, f.word);
  EXPECT_EQ(got.logLine, f.log.empty() ? "" : " ERROR: " + f.log + "... quitting");
  EXPECT_EQ(got.closeConnection, f.close);
  EXPECT_EQ(got.serverText, f.serverText);
}

template <class E> std::exception_ptr error(E e) { return std::make_exception_ptr(std::move(e)); }
std::exception_ptr pop(const std::string& text, const char* code) { return error(Pop3ReplyError(text, code)); }
const std::string kLimit = "the check did not finish within 2 minutes", kCut = "[SYS/TEMP] " + std::string(89, 'w');

const CertificateInfo kSelfSigned{"CN=h\\x07", "CN=h", "A", "B", "AB", false, CertificateProblem::UnknownIssuer,
                                  "unknown issuer or self-signed"};
const std::string kCertLog = "The certificate of h is not trusted (unknown issuer or self-signed); Subject: CN=h\\x07; "
                             "Issuer: CN=h; Valid from A to B; SHA-256: AB; Problem: unknown issuer or self-signed";

using P = CheckPhase;
INSTANTIATE_TEST_SUITE_P(
    Failures, DescribeFailure,
    ::testing::Values(
        Failure{"StopWhileConnecting", error(StopRequestedError()), P::Connect, nullptr, ""},
        Failure{"StopPointAfterLogin", error(CheckStopped()), P::Check, nullptr, ""},
        Failure{"WrongPassword", pop("-ERR no", "AUTH"), P::Connect, "INVUSERPASS", "EIdReplyPOP3Error"},
        Failure{"LoginDelayWithoutControlCharacters", pop("wait\x01 5\x7F minutes", "LOGIN-DELAY"),
                P::Connect, "ERRCONN", "[LOGIN-DELAY] wait 5 minutes", false, "[LOGIN-DELAY] wait 5 minutes"},
        Failure{"TemporaryFailureCutTo100", pop(std::string(150, 'w'), "SYS/TEMP"), P::Connect, "ERRCONN", kCut, false, kCut},
        Failure{"PermanentServerFailure", pop("disk broken", "SYS/PERM"), P::Connect, "ERRCONN",
                "[SYS/PERM] disk broken", false, "[SYS/PERM] disk broken"},
        Failure{"UnknownCodeIsAWrongPassword", pop("no", "XYZ"), P::Connect, "INVUSERPASS", "EIdReplyPOP3Error"},
        Failure{"PlainLoginRefused", error(ImapLoginDisabledError()), P::Connect, "NEEDTLS",
                "the server refuses plain-text login - choose TLS or STARTTLS"},
        Failure{"RefusedCertificate", error(CertificateError("h", kSelfSigned)), P::Connect, "ERRCERT", kCertLog,
                false, "unknown issuer or self-signed"},
        Failure{"NoStartTls", error(StartTlsError("The server does not offer STARTTLS")), P::Connect, "NOSTARTTLS",
                "The server does not offer STARTTLS"},
        Failure{"TimeLimitWhileConnecting", error(CheckTimeLimitError(120000)), P::Connect, "ERRCONN", kLimit},
        Failure{"OtherConnectError", error(ConnectTimeoutError()), P::Connect, "ERRCONN", "Unknown Connect Error"},
        Failure{"SilentServerAfterLogin", error(ReadTimeoutError()), P::Check, "ERRCONN", "Read timed out.", true},
        Failure{"TimeLimitAfterLogin", error(CheckTimeLimitError(120000)), P::Check, "ERRCONN", kLimit, true},
        Failure{"ClosedAfterLogin", error(ConnectionClosedError()), P::Check, "ERRCONN", "Connection Closed Gracefully."}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace brivane
