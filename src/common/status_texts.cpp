#include "common/status_texts.h"

#include "common/status_words.h"

namespace brivane {

std::optional<StatusText> statusText(std::string_view code, std::string_view server, std::string_view detail) {
  using namespace status;
  const std::string srv(server);
  auto is = [&](const char* word) { return code == word; };
  const char* configure = " specified for this account - please configure accounts in the screensaver options dialog";
  if (is(kQueued)) return StatusText{"idx:4", "Queued for check", {}};
  if (is(kConnecting)) return StatusText{"throbbersml", "Connecting to " + srv, {}};
  if (is(kChecking)) return StatusText{"throbbersml", "Retrieving status...", {}};
  if (is(kNoMsg)) return StatusText{"idx:5", "No New Messages", {}};
  if (is(kErrConn) || is(kInvServer)) return StatusText{"idx:2", "ERROR - Could not connect to ", srv};
  if (is(kNoFolders)) return StatusText{"idx:2", "You currently are not subscribed to any folders on " + srv, {}};
  if (is(kInvUserPass)) return StatusText{"idx:2", "ERROR - Username/password is invalid", {}};
  if (is(kErrCert))
    return StatusText{"idx:2",
                      "ERROR - The certificate of " + srv + " is not trusted (" + std::string(detail) +
                          ") - review it in the account's settings",
                      {}, true};
  if (is(kNoStartTls)) return StatusText{"idx:2", "ERROR - The server does not offer STARTTLS", {}};
  if (is(kNeedTls))
    return StatusText{"idx:2",
                      "ERROR - " + srv +
                          " accepts passwords only over an encrypted connection - choose TLS or STARTTLS in the "
                          "account's settings",
                      {}};
  if (is(kErrCommand))
    return StatusText{"idx:2", "ERROR - The sign-in command failed (" + std::string(detail) + ")", {}, true};
  if (is(kErrKeyring)) return StatusText{"idx:2", "ERROR - " + std::string(detail), {}, true};
  if (is(kNoOAuth)) return StatusText{"idx:2", "ERROR - The server does not offer OAuth sign-in", {}};
  if (is(kNoServer)) return StatusText{"idx:2", std::string("No server") + configure, {}};
  if (is(kNoUser)) return StatusText{"idx:2", std::string("No user") + configure, {}};
  if (is(kNoPass)) return StatusText{"idx:2", std::string("No password") + configure, {}};
  if (is(kNoPort)) return StatusText{"idx:2", std::string("No port or an invalid port") + configure, {}};
  return std::nullopt;
}

}  // namespace brivane
