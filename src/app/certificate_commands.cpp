#include "app/certificate_commands.h"

#include <iostream>
#include <memory>
#include <sstream>

#include "app/check_mode.h"
#include "common/text.h"
#include "platform/registry_file.h"
#include "settings/accounts.h"

namespace brivane {

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr size_t kMostShownChars = 100;  // of a name or argument quoted in a message

// The index of "#N", nothing for any other text.
std::optional<size_t> indexOf(std::string_view which) {
  if (which.size() < 2 || which.size() > 10 || which[0] != '#') return std::nullopt;
  size_t n = 0;
  for (char c : which.substr(1)) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + static_cast<size_t>(c - '0');
  }
  return n;
}

// "#3 Home": how messages name an account.
std::string accountLabel(const AccountList& accounts, size_t index) {
  return "#" + std::to_string(index) + " " + terminalSafe(utf8Cut(accounts[index].name, kMostShownChars));
}

std::string quoted(std::string_view text) { return "\"" + terminalSafe(utf8Cut(text, kMostShownChars)) + "\""; }

std::string listOf(const AccountList& accounts, const std::vector<size_t>& indexes) {
  std::string list;
  for (size_t i : indexes) list += (list.empty() ? "" : ", ") + accountLabel(accounts, i);
  return list;
}

std::string describeAccount(const TEmlAccount& account, size_t index) {
  return quoted(account.name) + " (#" + std::to_string(index) + ", " + (account.isPOP ? "POP3" : "IMAP4") + ", " +
         terminalSafe(account.server) + ":" + std::to_string(effectivePort(account)) + ", " +
         std::string(EncryptionName(encryptionOf(account))) + ")";
}

// The certificate the account's server presents now, or nothing after
// saying on `err` why there is none.
std::optional<CertificateInfo> presentedCertificate(const TEmlAccount& account, size_t index,
                                                    const CertificateInspector& inspect, std::ostream& err) {
  if (encryptionOf(account) == Encryption::None) {
    err << "brivane: " << describeAccount(account, index)
        << " uses no encryption, so its server presents no certificate; choose TLS or STARTTLS in the account's "
           "settings\n";
    return std::nullopt;
  }
  const ConnectionTestResult result = inspect(account);
  if (result.certificate) return result.certificate;
  err << "brivane: " << describeAccount(account, index) << ": "
      << (result.message.empty() ? std::string("no certificate was received") : terminalSafe(result.message)) << "\n";
  return std::nullopt;
}

}  // namespace

AccountChoice chooseAccount(const AccountList& accounts, std::string_view which) {
  AccountChoice choice;
  if (const auto index = indexOf(which)) {
    if (*index < accounts.size()) choice.index = *index;
    else if (accounts.empty()) choice.error = "there is no account #" + std::to_string(*index) + ": none is set up";
    else
      choice.error = "there is no account #" + std::to_string(*index) + " (they are #0 to #" +
                     std::to_string(accounts.size() - 1) + ")";
    return choice;
  }
  std::vector<size_t> matches;
  for (size_t i = 0; i < accounts.size(); ++i)
    if (accounts[i].name == which) matches.push_back(i);
  if (matches.size() == 1) {
    choice.index = matches.front();
  } else if (matches.empty()) {
    std::vector<size_t> all(accounts.size());
    for (size_t i = 0; i < all.size(); ++i) all[i] = i;
    choice.error = "no account is named " + quoted(which) +
                   (all.empty() ? std::string(": none is set up") : " (the accounts: " + listOf(accounts, all) + ")");
  } else {
    choice.error = quoted(which) + " names " + std::to_string(matches.size()) + " accounts: " +
                   listOf(accounts, matches) + "; name one by its number (#N)";
  }
  return choice;
}

std::optional<std::string> parseCertificateArguments(const std::vector<std::string>& args, bool trust,
                                                     CertificateArguments& parsed) {
  const size_t wanted = trust ? 2 : 1;
  if (args.size() < wanted)
    return trust ? "--trust-certificate needs ACCOUNT and SHA256" : "--certificate needs ACCOUNT";
  if (args.size() > wanted) return "unexpected argument " + quoted(args[wanted]);
  if (args[0].empty()) return "ACCOUNT is empty: give an account's name or #N";
  parsed.account = args[0];
  if (!trust) return std::nullopt;
  const auto sha256 = normalizeFingerprint(args[1]);
  if (!sha256) return "SHA256 is 64 hexadecimal digits (colons between pairs allowed), not " + quoted(args[1]);
  parsed.sha256 = *sha256;
  return std::nullopt;
}

ConnectionTestResult inspectServerCertificate(const TEmlAccount& account) {
  ConnectionTestOptions options;
  options.login = false;
  options.inspectOnly = true;
  return testConnection(account, options);
}

std::string formatCertificateReport(const TEmlAccount& account, size_t index, const CertificateInfo& info) {
  std::ostringstream out;
  out << "The certificate of " << describeAccount(account, index) << "\n";
  for (const std::string& line : certificateLines(info)) out << "  " << terminalSafe(line) << "\n";
  if (info.verifies) out << "It verifies against the system's trusted certificates.\n";
  else out << "It does not verify: " << terminalSafe(info.reason) << ".\n";
  const std::string pinned = normalizeFingerprint(account.trustedCertificate).value_or("");
  if (pinned.empty()) out << "No certificate is trusted for this account.\n";
  else if (pinned == info.sha256) out << "It is the certificate trusted for this account.\n";
  else out << "It is not the certificate trusted for this account (that one is " << pinned << ").\n";
  if (!info.verifies && pinned != info.sha256)
    out << "Trust it only if its SHA-256 fingerprint is the one the server's administrator gave you:\n"
        << "  brivane --trust-certificate '#" << index << "' " << info.sha256 << "\n";
  return out.str();
}

int showCertificate(const AccountList& accounts, const CertificateArguments& args,
                    const CertificateInspector& inspect, std::ostream& out, std::ostream& err) {
  const AccountChoice choice = chooseAccount(accounts, args.account);
  if (!choice.index) {
    err << "brivane: " << choice.error << "\n";
    return kExitFailure;
  }
  const TEmlAccount& account = accounts[*choice.index];
  const auto info = presentedCertificate(account, *choice.index, inspect, err);
  if (!info) return kExitFailure;
  out << formatCertificateReport(account, *choice.index, *info);
  return 0;
}

int trustCertificate(RegistryStore& store, const CertificateArguments& args, const CertificateInspector& inspect,
                     std::ostream& out, std::ostream& err) {
  AccountList accounts;
  LoadAccounts(store, accounts);
  const AccountChoice choice = chooseAccount(accounts, args.account);
  if (!choice.index) {
    err << "brivane: " << choice.error << "\n";
    return kExitFailure;
  }
  const size_t index = *choice.index;
  const TEmlAccount account = accounts[index];
  const auto info = presentedCertificate(account, index, inspect, err);
  if (!info) return kExitFailure;
  if (info->sha256 != args.sha256) {
    err << "brivane: " << terminalSafe(account.server) << " presents another certificate now (SHA-256: "
        << info->sha256 << "); nothing was stored. `brivane --certificate '#" << index << "'` shows it.\n";
    return kExitFailure;
  }
  // The store's content as it is now: the account must still be the one asked.
  bool changed = false;
  const bool saved = store.transact([&](RegistryStore& fresh) {
    AccountList list;
    LoadAccounts(fresh, list);
    changed = index >= list.size() || list[index].name != account.name || !SameEndpoint(list[index], account) ||
              encryptionOf(list[index]) != encryptionOf(account);
    if (changed) return false;
    list[index].trustedCertificate = args.sha256;
    SaveAccounts(fresh, list);
    return true;
  });
  if (changed) {
    err << "brivane: the account " << describeAccount(account, index)
        << " was changed in the settings meanwhile; nothing was stored\n";
    return kExitFailure;
  }
  if (!saved) {
    const auto* file = dynamic_cast<FileRegistryStore*>(&store);
    err << "brivane: the settings store could not be written"
        << (file != nullptr && !file->lastError().empty() ? ": " + file->lastError() : std::string()) << "\n";
    return kExitFailure;
  }
  out << "The certificate with SHA-256 " << args.sha256 << " is now trusted for " << describeAccount(account, index)
      << ".\n";
  if (info->verifies) out << "(It verifies anyway; the exception matters only should it stop verifying.)\n";
  out << "The exception is dropped when the account's server or port changes.\n";
  return 0;
}

int certificateMain(const std::vector<std::string>& args) {
  CertificateArguments parsed;
  if (const auto error = parseCertificateArguments(args, false, parsed)) {
    std::cerr << "brivane: " << *error << "\nusage: brivane --certificate ACCOUNT   (ACCOUNT: a name or #N)\n";
    return kExitUsage;
  }
  AccountList accounts;
  if (!readStoredAccounts(accounts, std::cerr)) return kExitFailure;
  return showCertificate(accounts, parsed, inspectServerCertificate, std::cout, std::cerr);
}

int trustCertificateMain(const std::vector<std::string>& args) {
  CertificateArguments parsed;
  if (const auto error = parseCertificateArguments(args, true, parsed)) {
    std::cerr << "brivane: " << *error
              << "\nusage: brivane --trust-certificate ACCOUNT SHA256   (ACCOUNT: a name or #N)\n";
    return kExitUsage;
  }
  const std::unique_ptr<FileRegistryStore> store = openExistingStore(std::cerr);
  if (!store) return kExitFailure;
  return trustCertificate(*store, parsed, inspectServerCertificate, std::cout, std::cerr);
}

}  // namespace brivane
