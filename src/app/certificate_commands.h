#pragma once
#include <cstddef>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "checking/connection_tester.h"
#include "platform/registry_store.h"
#include "protocols/certificate.h"
#include "settings/account.h"

// `brivane --certificate ACCOUNT` shows the certificate an account's server
// presents now; `brivane --trust-certificate ACCOUNT SHA256` makes that one
// certificate the account's exception to verification. Both connect as the
// account says (TLS or STARTTLS) and stop before the login. Exit status 0
// on success, 1 on a failure, 2 for a usage error.
namespace brivane {

// ACCOUNT of both commands: "#N" is the account at index N (the `index` of
// `--check --json`); any other text is a name, which must name exactly one
// account.
struct AccountChoice {
  std::optional<size_t> index;
  // Why none was chosen: unknown, or ambiguous with the matches listed
  // ("#0 Home", "#3 Home").
  std::string error;
};
AccountChoice chooseAccount(const AccountList& accounts, std::string_view which);

struct CertificateArguments {
  std::string account;
  std::string sha256;  // --trust-certificate: the fingerprint as "AB:CD:..."
};

// Parses the arguments after the option: ACCOUNT, and with `trust` also
// SHA256 (64 hex digits, colons optional, any case). An error text for a
// usage error, nothing when they are good.
std::optional<std::string> parseCertificateArguments(const std::vector<std::string>& args, bool trust,
                                                     CertificateArguments& parsed);

// Reads the certificate an account's server presents (tests give a fake).
using CertificateInspector = std::function<ConnectionTestResult(const TEmlAccount&)>;
// The real one: testConnection without login, accepting any certificate
// only to read it.
ConnectionTestResult inspectServerCertificate(const TEmlAccount& account);

// What --certificate prints: the account, the certificate's lines, whether
// it verifies (and why not), whether it is the one trusted for the account,
// and how to trust it when it does not verify.
std::string formatCertificateReport(const TEmlAccount& account, size_t index, const CertificateInfo& info);

// --certificate over a loaded account list.
int showCertificate(const AccountList& accounts, const CertificateArguments& args,
                    const CertificateInspector& inspect, std::ostream& out, std::ostream& err);

// --trust-certificate over a loaded store: the account is chosen from the
// store's list, its server must present the certificate with args.sha256
// now, and the fingerprint is then written with the settings' own account
// writer (LoadAccounts / SaveAccounts in one transaction on the fresh
// content). Nothing is written when the server presents another
// certificate or the account changed in the store meanwhile.
int trustCertificate(RegistryStore& store, const CertificateArguments& args, const CertificateInspector& inspect,
                     std::ostream& out, std::ostream& err);

// The whole commands: the arguments after the option, the store, the run.
int certificateMain(const std::vector<std::string>& args);
int trustCertificateMain(const std::vector<std::string>& args);

}  // namespace brivane
