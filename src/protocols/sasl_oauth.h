#pragma once
#include <string>
#include <string_view>

// The SASL mechanisms that carry an OAuth 2.0 access token: OAUTHBEARER
// (RFC 7628) and the older XOAUTH2 that some providers still want. Shared by
// the IMAP AUTHENTICATE and the POP3 AUTH dialogues.
namespace brivane {

enum class OAuthMechanism { OAuthBearer, XOAuth2 };

// "OAUTHBEARER" or "XOAUTH2".
std::string_view oauthMechanismName(OAuthMechanism mechanism);

// The client's initial response, base64-encoded:
//   OAUTHBEARER: "n,a=<user>," ^A "host=<host>" ^A "port=<port>" ^A
//                "auth=Bearer <token>" ^A ^A  (user with "," and "=" escaped)
//   XOAUTH2:     "user=<user>" ^A "auth=Bearer <token>" ^A ^A
std::string oauthInitialResponse(OAuthMechanism mechanism, std::string_view user, std::string_view host, int port,
                                 std::string_view token);

// The client's answer to a server challenge that carries an error: a single
// %x01 for OAUTHBEARER ("AQ=="), an empty line for XOAUTH2.
std::string_view oauthErrorReply(OAuthMechanism mechanism);

// The error a server sends in its challenge (base64 of a JSON object), in
// words for the log: decoded, control characters escaped, at most 300
// characters; the base64 text itself when it does not decode.
std::string oauthErrorText(std::string_view challenge);

// Base64 (RFC 4648, with padding).
std::string base64Encode(std::string_view bytes);

}  // namespace brivane
