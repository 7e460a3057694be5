#include "protocols/sasl_oauth.h"

#include <openssl/evp.h>

#include <vector>

#include "common/text.h"

namespace brivane {
namespace {

// RFC 5801's saslname: "," and "=" in the authorisation identity escaped.
std::string saslName(std::string_view user) {
  std::string out;
  for (char c : user) {
    if (c == ',') out += "=2C";
    else if (c == '=') out += "=3D";
    else out += c;
  }
  return out;
}

}  // namespace

std::string_view oauthMechanismName(OAuthMechanism mechanism) {
  return mechanism == OAuthMechanism::OAuthBearer ? "OAUTHBEARER" : "XOAUTH2";
}

std::string base64Encode(std::string_view bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3), '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
  out.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return out;
}

std::string oauthInitialResponse(OAuthMechanism mechanism, std::string_view user, std::string_view host, int port,
                                 std::string_view token) {
  const std::string bearer = "auth=Bearer " + std::string(token);
  std::string raw;
  if (mechanism == OAuthMechanism::OAuthBearer)
    raw = "n,a=" + saslName(user) + ",\x01host=" + std::string(host) + "\x01port=" + std::to_string(port) + "\x01" +
          bearer + "\x01\x01";
  else
    raw = "user=" + std::string(user) + "\x01" + bearer + "\x01\x01";
  return base64Encode(raw);
}

std::string_view oauthErrorReply(OAuthMechanism mechanism) {
  return mechanism == OAuthMechanism::OAuthBearer ? "AQ==" : "";
}

std::string oauthErrorText(std::string_view challenge) {
  constexpr size_t kShown = 300;
  std::string text(trimControl(challenge));
  if (text.size() > 4096) text.resize(4096);  // far more than any error object
  std::vector<unsigned char> decoded(3 * (text.size() / 4) + 3);
  int n = text.size() % 4 == 0 && !text.empty()
              ? EVP_DecodeBlock(decoded.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                static_cast<int>(text.size()))
              : -1;
  std::string shown;
  if (n >= 0) {
    // EVP_DecodeBlock counts the padding's zero bytes too.
    for (size_t pad = text.size(); pad > 0 && text[pad - 1] == '='; --pad) --n;
    shown.assign(reinterpret_cast<const char*>(decoded.data()), static_cast<size_t>(std::max(n, 0)));
  } else {
    shown = text;
  }
  shown = escapeControl(shown);
  if (shown.size() > kShown) shown = shown.substr(0, kShown) + "...";
  return shown;
}

}  // namespace brivane
