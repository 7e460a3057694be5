// The loopback server's TLS side, seen by a bare OpenSSL client: the
// certificate kinds verify (or not) as their names say, the fingerprints are
// those of the certificates served, the test CA joins the trust store that
// was set, and STARTTLS switches the script to TLS at its place.
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

#include "fake_server.h"
#include "temp_dir.h"

namespace brivane::test {
namespace {

using Certificate = LoopbackServer::Options::Certificate;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::MatchesRegex;
using ::testing::StartsWith;

// A client on a plain socket that can switch to TLS, verifying against the
// default paths (so $SSL_CERT_FILE) at OpenSSL's default security level,
// for 127.0.0.1. Every verification error is collected and the handshake
// goes on, so a test sees all of them.
class Client {
 public:
  explicit Client(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{.sin_family = AF_INET, .sin_port = htons(static_cast<uint16_t>(port)),
                     .sin_addr = {htonl(INADDR_LOOPBACK)}, .sin_zero = {}};
    timeval tv{5, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) ADD_FAILURE() << "cannot connect";
  }
  ~Client() {
    if (ssl_) SSL_free(ssl_);
    if (ctx_) SSL_CTX_free(ctx_);
    ::close(fd_);
  }

  // False when the handshake failed; `refuse` makes any verification error fatal.
  bool startTls(bool refuse = false) {
    ctx_ = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_default_verify_paths(ctx_);
    SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER, refuse ? nullptr : &Client::collect);
    ssl_ = SSL_new(ctx_);
    SSL_set_ex_data(ssl_, 0, this);
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_), "127.0.0.1");
    SSL_set_fd(ssl_, fd_);
    return SSL_connect(ssl_) == 1;
  }
  void send(const std::string& text) {
    ssl_ ? SSL_write(ssl_, text.data(), static_cast<int>(text.size()))
         : static_cast<int>(::send(fd_, text.data(), text.size(), MSG_NOSIGNAL));
  }
  // One line without its CR LF, read a byte at a time so that nothing after it is consumed.
  std::string line() {
    std::string s;
    for (char c; !s.ends_with("\r\n");) {
      const int n = ssl_ ? SSL_read(ssl_, &c, 1) : static_cast<int>(::recv(fd_, &c, 1, 0));
      if (n != 1) return s + "<end>";
      s += c;
    }
    return s.substr(0, s.size() - 2);
  }
  std::set<int> errors() const { return errors_; }
  std::string peerSha256() const {
    X509* peer = SSL_get1_peer_certificate(ssl_);
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    X509_digest(peer, EVP_sha256(), md, &n);
    X509_free(peer);
    std::string hex;
    for (unsigned int k = 0; k < n; ++k) {
      char byte[4];
      std::snprintf(byte, sizeof byte, k ? ":%02X" : "%02X", md[k]);
      hex += byte;
    }
    return hex;
  }

 private:
  static int collect(int ok, X509_STORE_CTX* store) {
    auto* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    if (!ok) static_cast<Client*>(SSL_get_ex_data(ssl, 0))->errors_.insert(X509_STORE_CTX_get_error(store));
    return 1;
  }
  int fd_ = -1;
  SSL_CTX* ctx_ = nullptr;
  SSL* ssl_ = nullptr;
  std::set<int> errors_;
};

// First in this file, so that it runs first also when the whole executable
// runs in one process (the bundle is made once per process).
TEST(LoopbackServerTrust, TestCaJoinsTheTrustStoreSetBefore) {
  TempDir dir;
  const std::string prior = dir / "prior.pem";
  {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* x = X509_new();
    X509_gmtime_adj(X509_getm_notBefore(x), 0);
    X509_gmtime_adj(X509_getm_notAfter(x), 3600);
    X509_set_pubkey(x, key);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(x), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("Prior CA"), -1, -1, 0);
    X509_set_issuer_name(x, X509_get_subject_name(x));
    X509_sign(x, key, EVP_sha256());
    FILE* f = std::fopen(prior.c_str(), "w");
    PEM_write_X509(f, x);
    std::fclose(f);
    X509_free(x);
    EVP_PKEY_free(key);
  }
  setenv("SSL_CERT_FILE", prior.c_str(), 1);
  trustTestCa();
  const std::string bundle = std::getenv("SSL_CERT_FILE");
  trustTestCa();
  EXPECT_EQ(std::getenv("SSL_CERT_FILE"), bundle) << "a second call made another bundle";

  std::vector<std::string> subjects;
  FILE* f = std::fopen(bundle.c_str(), "r");
  ASSERT_NE(f, nullptr) << bundle;
  while (X509* x = PEM_read_X509(f, nullptr, nullptr, nullptr)) {
    char name[256];
    X509_NAME_oneline(X509_get_subject_name(x), name, sizeof name);
    subjects.emplace_back(name);
    X509_free(x);
  }
  std::fclose(f);
  EXPECT_THAT(subjects, ElementsAre("/CN=Brivane Loopback Test CA", "/CN=Prior CA"));
}

// Each kind of certificate, as a client at the default security level sees it.
TEST(LoopbackServerTrust, CertificateKindsVerifyAsNamed) {
  const struct {
    const char* name;
    Certificate kind;
    std::set<int> errors;
  } rows[] = {
      {"ca-signed", Certificate::CaSigned, {}},
      {"self-signed", Certificate::SelfSigned, {X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT}},
      {"expired", Certificate::Expired, {X509_V_ERR_CERT_HAS_EXPIRED}},
      {"weak", Certificate::WeakRsa1024, {X509_V_ERR_EE_KEY_TOO_SMALL}},
  };
  std::set<std::string> fingerprints;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    LoopbackServer server("S: hello\nC: bye\n", {.tls = true, .certificate = row.kind});
    {
      Client client(server.port());
      ASSERT_TRUE(client.startTls());
      EXPECT_EQ(client.errors(), row.errors);
      EXPECT_EQ(client.line(), "hello");
      client.send("bye\r\n");
      EXPECT_EQ(client.peerSha256(), certificateSha256(row.kind));
    }
    EXPECT_THAT(certificateSha256(row.kind), MatchesRegex("([0-9A-F]{2}:){31}[0-9A-F]{2}"));
    fingerprints.insert(certificateSha256(row.kind));
    server.finish();
    EXPECT_THAT(server.errors(), IsEmpty());
  }
  EXPECT_EQ(fingerprints.size(), std::size(rows));
}

// A client that refuses the certificate: the server's transcript says how,
// and it is an error only when the script wanted more.
TEST(LoopbackServerTrust, RefusedHandshakeIsReported) {
  for (const std::string script : {"", "S: hello\n"}) {
    SCOPED_TRACE(script);
    LoopbackServer server(script, {.tls = true, .certificate = Certificate::SelfSigned});
    Client client(server.port());
    EXPECT_FALSE(client.startTls(/*refuse=*/true));
    server.finish();
    EXPECT_THAT(server.transcript(), ElementsAre(StartsWith("TLS handshake failed: ")));
    EXPECT_EQ(server.errors().size(), script.empty() ? 0u : 1u);
  }
}

// Bytes the script sends before STARTTLS arrive in clear after the answer;
// the rest of the script runs over TLS with the chosen certificate.
TEST(LoopbackServerStartTls, SwitchesToTlsAtItsPlace) {
  LoopbackServer server(
      "S: * OK ready\nC: a STARTTLS\nS: a OK Begin TLS\nR: * injected\\r\\n\nSTARTTLS\nC: b NOOP\nS: b OK\n",
      {.certificate = Certificate::Expired});
  {
    Client client(server.port());
    EXPECT_EQ(client.line(), "* OK ready");
    client.send("a STARTTLS\r\n");
    EXPECT_EQ(client.line(), "a OK Begin TLS");
    EXPECT_EQ(client.line(), "* injected");
    ASSERT_TRUE(client.startTls());
    EXPECT_EQ(client.errors(), std::set{X509_V_ERR_CERT_HAS_EXPIRED});
    client.send("b NOOP\r\n");
    EXPECT_EQ(client.line(), "b OK");
  }
  server.finish();
  EXPECT_THAT(server.transcript(), ElementsAre("S: * OK ready", "C: a STARTTLS", "S: a OK Begin TLS",
                                               "R: <12 bytes>", "STARTTLS", "C: b NOOP", "S: b OK"));
  EXPECT_THAT(server.errors(), IsEmpty());
}

// A client that sends more after its STARTTLS command, before the answer, is caught.
TEST(LoopbackServerStartTls, ClientBytesBeforeTheHandshakeAreAnError) {
  LoopbackServer server("C: a STARTTLS\nS: a OK Begin TLS\nSTARTTLS\nC: b NOOP\n");
  Client client(server.port());
  client.send("a STARTTLS\r\nb NOOP\r\n");
  EXPECT_EQ(client.line(), "a OK Begin TLS");
  server.finish();
  EXPECT_THAT(server.errors(), ElementsAre("the client sent 8 bytes after STARTTLS, before its handshake"));
}

}  // namespace
}  // namespace brivane::test
