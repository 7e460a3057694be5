#include <gmock/gmock.h>

#include "fake_server.h"
#include "protocols/imap_session.h"
#include "protocols/pop3_session.h"
#include "protocols/protocol_errors.h"
#include "protocols/transport.h"

// STARTTLS (IMAP) and STLS (POP3) never go on without TLS: a server that does
// not offer it, refuses it, greets already logged in or slips plain bytes in
// before the handshake ends the session before any password is sent.
namespace brivane {
namespace {

using ::testing::IsEmpty;

const char* const kNotOffered = "The server does not offer STARTTLS";
const char* const kInjected = "The server sent data before the TLS handshake (possible plain-text injection).";

// The session's outcome against a scripted server: the error text, and
// whether the connection is still open.
template <class Session>
std::string outcome(std::string_view script) {
  ManualClock clock;
  test::MemoryServer server(script, &clock);
  Transport transport;
  transport.setClock(&clock);
  transport.setConnector(server.connector());
  std::string result = "connected";
  const auto run = [&](auto& session) {
    session.setHost("mail.test");
    session.setUsername("ann");
    session.setPassword("secret");
    session.setTlsMode(TlsMode::Explicit);
    try {
      if constexpr (std::is_same_v<Session, ImapSession>) session.connect(true);
      else session.connect();
    } catch (const StartTlsError& e) {
      result = e.what();
    } catch (const PlainTextInjectionError& e) {
      result = e.what();
    } catch (const std::exception& e) {
      result = std::string("other: ") + e.what();
    }
  };
  if constexpr (std::is_same_v<Session, ImapSession>) {
    ImapSession session;
    session.setTransport(&transport);
    run(session);
  } else {
    Pop3Session session(&transport);
    run(session);
  }
  EXPECT_THAT(server.errors(), IsEmpty());  // every client line was the expected one: never LOGIN, USER or PASS
  return result + (transport.connected() ? "" : ", closed");
}

TEST(StartTls, ImapRefusalsEndTheSessionBeforeTheLogin) {
  const std::string offered = "S: * OK [CAPABILITY IMAP4rev1 STARTTLS LOGINDISABLED] hi\nC: C1 STARTTLS\n";
  const struct { const char* name; std::string script, outcome; } rows[] = {
      {"not in the greeting", "S: * OK [CAPABILITY IMAP4rev1] hi\n", kNotOffered},
      {"asked, not listed", "S: * OK hi\nC: C1 CAPABILITY\nS: * CAPABILITY IMAP4rev1 AUTH=PLAIN\nS: C1 OK\n",
       kNotOffered},
      {"refused", offered + "S: C1 NO [UNAVAILABLE] not now\n",
       std::string(kNotOffered) + " (it answered STARTTLS with NO [UNAVAILABLE] not now)"},
      {"PREAUTH", "S: * PREAUTH [CAPABILITY IMAP4rev1 STARTTLS] hi\n",
       "The server greeted with PREAUTH, so STARTTLS cannot be used: the account is not used without TLS."},
      {"plain bytes after the go-ahead", offered + "S: C1 OK Begin TLS\nS: * OK [CAPABILITY IMAP4rev1] injected\n",
       kInjected},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(outcome<ImapSession>(r.script), r.outcome + ", closed");
  }
}

TEST(StartTls, Pop3RefusalsEndTheSessionBeforeTheLogin) {
  const std::string offered = "S: +OK hi\nC: CAPA\nS: +OK\nS: USER\nS: STLS\nS: .\nC: STLS\n";
  const struct { const char* name; std::string script, outcome; } rows[] = {
      {"not listed", "S: +OK hi\nC: CAPA\nS: +OK\nS: USER\nS: STLSX\nS: .\n", kNotOffered},
      {"no capabilities", "S: +OK hi\nC: CAPA\nS: -ERR unknown\n", kNotOffered},
      {"refused", offered + "S: -ERR [SYS/TEMP] later\n",
       std::string(kNotOffered) + " (it answered STLS with -ERR later)"},
      {"plain bytes after the go-ahead", offered + "S: +OK Begin TLS\nS: +OK injected\n", kInjected},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(outcome<Pop3Session>(r.script), r.outcome + ", closed");
  }
}

}  // namespace
}  // namespace brivane
