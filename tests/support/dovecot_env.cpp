#include "dovecot_env.h"

#include <cstdlib>
#include <fstream>
#include <map>

namespace brivane::test {

std::optional<DovecotEnv> DovecotEnv::load() {
  const char* path = std::getenv("BRIVANE_DOVECOT_ENV");
  std::ifstream in(path && *path ? path : BRIVANE_DOVECOT_ENV_DEFAULT);
  if (!in) return std::nullopt;
  std::map<std::string, std::string> values;
  for (std::string line; std::getline(in, line);) {
    const size_t eq = line.find('=');
    if (line.empty() || line[0] == '#' || eq == std::string::npos) continue;
    // Values are shell-quoted in single quotes ('...' with '\'' for a quote).
    std::string& value = values[line.substr(0, eq)] = {};
    for (size_t i = eq + 1, quoted = 0; i < line.size(); ++i) {
      if (line[i] == '\'') quoted = !quoted;
      else if (line[i] == '\\' && !quoted && i + 1 < line.size()) value += line[++i];
      else value += line[i];
    }
  }
  DovecotEnv env;
  for (auto [key, port] : {std::pair{"IMAP_PORT", &env.imapPort}, {"POP3_PORT", &env.pop3Port},
                           {"IMAPS_PORT", &env.imapsPort}, {"POP3S_PORT", &env.pop3sPort}})
    *port = std::atoi(values[key].c_str());
  for (auto [key, text] : {std::pair{"USER", &env.user}, {"PASSWORD", &env.password}, {"BLANK_USER", &env.blankUser},
                           {"BLANK_PASSWORD", &env.blankPassword}, {"QUOTE_USER", &env.quoteUser},
                           {"QUOTE_PASSWORD", &env.quotePassword}, {"POPDEFAULT_USER", &env.popDefaultUser},
                           {"POPDEFAULT_PASSWORD", &env.popDefaultPassword}, {"MAIL_ROOT", &env.mailRoot},
                           {"CA_FILE", &env.caFile}, {"OAUTH_USER", &env.oauthUser}, {"TOKEN_FILE", &env.tokenFile}})
    *text = values[key];
  if (!values["HOST"].empty()) env.host = values["HOST"];
  if (!values["ALT_HOST"].empty()) env.altHost = values["ALT_HOST"];
  if (env.pop3Port == 0 || env.imapPort == 0) return std::nullopt;
  return env;
}

}  // namespace brivane::test
