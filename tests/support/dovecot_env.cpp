#include "dovecot_env.h"

#include <cstdlib>
#include <fstream>

namespace brivane::test {
namespace {

// Values are written shell-quoted in single quotes ('...' with '\'' for a quote).
std::string unquote(const std::string& v) {
  std::string out;
  bool inQuote = false;
  for (size_t i = 0; i < v.size(); ++i) {
    char c = v[i];
    if (c == '\'') inQuote = !inQuote;
    else if (c == '\\' && !inQuote && i + 1 < v.size()) out += v[++i];
    else out += c;
  }
  return out;
}

int toPort(const std::map<std::string, std::string>& m, const char* key) {
  auto it = m.find(key);
  return it == m.end() ? 0 : std::atoi(it->second.c_str());
}

}  // namespace

std::optional<DovecotEnv> DovecotEnv::load() {
  const char* path = std::getenv("BRIVANE_DOVECOT_ENV");
  if (path && *path) return loadFile(path);
#ifdef BRIVANE_DOVECOT_ENV_DEFAULT
  return loadFile(BRIVANE_DOVECOT_ENV_DEFAULT);
#else
  return std::nullopt;
#endif
}

std::optional<DovecotEnv> DovecotEnv::loadFile(const std::string& path) {
  std::ifstream in(path);
  if (!in) return std::nullopt;
  DovecotEnv env;
  std::string line;
  while (std::getline(in, line)) {
    size_t eq = line.find('=');
    if (line.empty() || line[0] == '#' || eq == std::string::npos) continue;
    env.values[line.substr(0, eq)] = unquote(line.substr(eq + 1));
  }
  auto get = [&](const char* key) {
    auto it = env.values.find(key);
    return it == env.values.end() ? std::string() : it->second;
  };
  env.imapPort = toPort(env.values, "IMAP_PORT");
  env.pop3Port = toPort(env.values, "POP3_PORT");
  env.imapsPort = toPort(env.values, "IMAPS_PORT");
  env.pop3sPort = toPort(env.values, "POP3S_PORT");
  if (!get("HOST").empty()) env.host = get("HOST");
  env.user = get("USER");
  env.password = get("PASSWORD");
  env.blankUser = get("BLANK_USER");
  env.blankPassword = get("BLANK_PASSWORD");
  env.quoteUser = get("QUOTE_USER");
  env.quotePassword = get("QUOTE_PASSWORD");
  env.popDefaultUser = get("POPDEFAULT_USER");
  env.popDefaultPassword = get("POPDEFAULT_PASSWORD");
  env.mailRoot = get("MAIL_ROOT");
  if (env.pop3Port == 0 || env.imapPort == 0) return std::nullopt;
  return env;
}

}  // namespace brivane::test
