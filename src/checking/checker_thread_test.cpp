#include "checking/checker_thread.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "protocols/imap_session.h"
#include "protocols/protocol_errors.h"

namespace brivane {
namespace {

// One failure and what the checkers make of it.
struct Failure {
  const char* name;
  std::exception_ptr error;
  CheckPhase phase;
  const char* word;  // nullptr: no row
  std::string log;
  bool close = false;
  std::string serverText = {};
};
void PrintTo(const Failure& f, std::ostream* os) { *os << f.name; }

class DescribeFailure : public ::testing::TestWithParam<Failure> {};

TEST_P(DescribeFailure, GivesTheRowTheLogLineAndWhetherToClose) {
  const Failure& f = GetParam();
  const CheckFailure got = describeFailure(f.error, f.phase);
  EXPECT_STREQ(got.statusWord, f.word);
  EXPECT_EQ(got.logLine, f.log);
  EXPECT_EQ(got.closeConnection, f.close);
  EXPECT_EQ(got.serverText, f.serverText);
}

template <class E>
std::exception_ptr error(E e) {
  return std::make_exception_ptr(std::move(e));
}

using P = CheckPhase;
INSTANTIATE_TEST_SUITE_P(
    Failures, DescribeFailure,
    ::testing::Values(
        Failure{"StopWhileConnecting", error(StopRequestedError()), P::Connect, nullptr, ""},
        Failure{"StopPointAfterLogin", error(CheckStopped()), P::Check, nullptr, ""},
        Failure{"RefusedConnection", error(SocketError(111, "Connection refused")), P::Connect, "INVSERVER",
                " ERROR: EIdSocketError... quitting"},
        Failure{"WrongPassword", error(Pop3ReplyError("-ERR no", "AUTH")), P::Connect, "INVUSERPASS",
                " ERROR: EIdReplyPOP3Error... quitting"},
        Failure{"MailboxInUse", error(Pop3ReplyError("locked", "IN-USE")), P::Connect, "ERRCONN",
                " ERROR: [IN-USE] locked... quitting", false, "[IN-USE] locked"},
        Failure{"LoginDelayWithoutControlCharacters", error(Pop3ReplyError("wait\x01 5\x7F minutes", "LOGIN-DELAY")),
                P::Connect, "ERRCONN", " ERROR: [LOGIN-DELAY] wait 5 minutes... quitting", false,
                "[LOGIN-DELAY] wait 5 minutes"},
        Failure{"TemporaryFailureCutTo100", error(Pop3ReplyError(std::string(150, 'w'), "SYS/TEMP")), P::Connect,
                "ERRCONN", " ERROR: [SYS/TEMP] " + std::string(89, 'w') + "... quitting", false,
                "[SYS/TEMP] " + std::string(89, 'w')},
        Failure{"PermanentServerFailure", error(Pop3ReplyError("disk broken", "SYS/PERM")), P::Connect, "ERRCONN",
                " ERROR: [SYS/PERM] disk broken... quitting", false, "[SYS/PERM] disk broken"},
        Failure{"UnknownCodeIsAWrongPassword", error(Pop3ReplyError("no", "XYZ")), P::Connect, "INVUSERPASS",
                " ERROR: EIdReplyPOP3Error... quitting"},
        Failure{"PlainLoginRefused", error(ImapLoginDisabledError()), P::Connect, "ERRCONN",
                " ERROR: the server refuses plain-text login - turn on the secure connection... quitting"},
        Failure{"TimeLimitWhileConnecting", error(CheckTimeLimitError(120000)), P::Connect, "ERRCONN",
                " ERROR: the check did not finish within 2 minutes... quitting"},
        Failure{"OtherConnectError", error(ConnectTimeoutError()), P::Connect, "ERRCONN",
                " ERROR: Unknown Connect Error... quitting"},
        Failure{"SilentServerAfterLogin", error(ReadTimeoutError()), P::Check, "ERRCONN",
                " ERROR: Read timed out.... quitting", true},
        Failure{"TimeLimitAfterLogin", error(CheckTimeLimitError(120000)), P::Check, "ERRCONN",
                " ERROR: the check did not finish within 2 minutes... quitting", true},
        Failure{"ClosedAfterLogin", error(ConnectionClosedError()), P::Check, "ERRCONN",
                " ERROR: Connection Closed Gracefully.... quitting"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace brivane
