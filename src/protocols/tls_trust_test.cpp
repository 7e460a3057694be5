#include <gmock/gmock.h>

#include "common/text.h"
#include "fake_server.h"
#include "protocols/imap_session.h"
#include "protocols/pop3_session.h"
#include "protocols/protocol_errors.h"
#include "protocols/socket_stream.h"
#include "protocols/transport.h"

// Which certificates a TLS connection accepts, and STARTTLS (IMAP) / STLS
// (POP3) that never go on without TLS: a server that does not offer it,
// refuses it, greets already logged in or slips plain bytes in before the
// handshake ends the session before any password is sent.
namespace brivane {
namespace {

using ::testing::IsEmpty;
using Cert = test::LoopbackServer::Options::Certificate;

// A certificate is accepted when it verifies (chain, name, dates) or is the
// pinned one; refused ones end the handshake before the client sends a byte.
TEST(TlsTrust, AcceptsCertificatesThatVerifyOrArePinned) {
  const std::string selfSigned = test::certificateSha256(Cert::SelfSigned);
  const struct {
    const char* name;
    Cert cert;
    std::string host, pin = {};
    std::string outcome = "verifies";
    bool inspect = false;
  } rows[] = {
      {"CA-signed, by name", Cert::CaSigned, "localhost"},
      {"CA-signed, by address", Cert::CaSigned, "127.0.0.1"},
      {"CA-signed, by a name it lacks", Cert::CaSigned, "mail.example.org", {}, "name does not match"},
      {"CA-signed, pinned to another", Cert::CaSigned, "localhost", selfSigned},  // a good one always passes
      {"self-signed", Cert::SelfSigned, "localhost", {}, "unknown issuer or self-signed"},
      {"self-signed, pinned", Cert::SelfSigned, "localhost", asciiLower(selfSigned), "pinned"},
      {"self-signed, another pinned", Cert::SelfSigned, "localhost", test::certificateSha256(Cert::Expired),
       "changed since you trusted it"},
      {"self-signed, only to read it", Cert::SelfSigned, "localhost", {}, "pinned", true},
      {"expired", Cert::Expired, "localhost", {}, "expired or not yet valid"},
      {"expired, pinned", Cert::Expired, "127.0.0.1", test::certificateSha256(Cert::Expired), "pinned"},
      {"weak key, pinned", Cert::WeakRsa1024, "localhost", test::certificateSha256(Cert::WeakRsa1024), "pinned"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    test::LoopbackServer server("S: hello\nC: BYE\n", {.tls = true, .certificate = r.cert});
    Transport t;
    t.setConnector([&](const Transport::ConnectRequest& q) { return connectTcp("127.0.0.1", q.port, 5000, nullptr); });
    t.setHost(r.host);
    t.setPort(server.port());
    t.setPassThrough(false);
    t.setTlsTrust({r.pin, r.inspect});
    std::string outcome;
    try {
      t.connect();
      EXPECT_EQ(t.readReplyLine(), "hello");
      t.writeLine("BYE");
      const CertificateInfo& info = t.peerCertificate().value();
      EXPECT_EQ(info.sha256, test::certificateSha256(r.cert));
      outcome = info.verifies ? "verifies" : "pinned";
    } catch (const CertificateError& e) {
      outcome = e.certificate().reason;
      EXPECT_EQ(e.certificate().sha256, test::certificateSha256(r.cert));
      EXPECT_FALSE(t.connected());
    }
    EXPECT_EQ(outcome, r.outcome);
    t.close();
    server.finish();
    for (const std::string& entry : server.transcript())
      EXPECT_FALSE(outcome != "verifies" && outcome != "pinned" && entry.starts_with("C:")) << entry;
  }
}

// An upgrade that works: the capabilities asked again inside TLS, the
// password sent only there.
TEST(StartTls, UpgradesBeforeTheLoginAndAsksTheCapabilitiesAgain) {
  test::LoopbackServer imap(
      "S: * OK [CAPABILITY IMAP4rev1 STARTTLS LOGINDISABLED] hi\nC: C1 STARTTLS\nS: C1 OK Begin TLS\nSTARTTLS\n"
      "C: C2 CAPABILITY\nS: * CAPABILITY IMAP4rev1 AUTH=PLAIN\nS: C2 OK\nC: C3 LOGIN ann secret\nS: C3 OK\n"
      "C: C4 CAPABILITY\nS: C4 OK\nC: C5 CAPABILITY\nS: C5 OK\n");
  Transport t;
  ImapSession session;
  session.setTransport(&t);
  session.setHost("localhost");
  session.setPort(imap.port());
  session.setUsername("ann");
  session.setPassword("secret");
  session.setTlsMode(TlsMode::Explicit);
  session.connect(true);
  EXPECT_EQ(std::pair(session.state(), t.usingTls()), std::pair(ImapState::Authenticated, true));
  t.close();
  imap.finish();
  EXPECT_THAT(imap.errors(), IsEmpty());
  test::LoopbackServer pop("S: +OK hi\nC: CAPA\nS: +OK\nS: STLS\nS: .\nC: STLS\nS: +OK go\nSTARTTLS\nC: CAPA\n"
                           "S: +OK\nS: USER\nS: .\nC: USER ann\nS: +OK\nC: PASS secret\nS: +OK\n");
  Transport pt;
  Pop3Session pop3(&pt);
  pop3.setHost("127.0.0.1");
  pop3.setPort(pop.port());
  pop3.setUsername("ann");
  pop3.setPassword("secret");
  pop3.setTlsMode(TlsMode::Explicit);
  pop3.connect();
  EXPECT_TRUE(pt.usingTls() && pop3.hasCapability("USER") && !pop3.hasCapability("STLS"));
  pt.close();
  pop.finish();
  EXPECT_THAT(pop.errors(), IsEmpty());
}

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
