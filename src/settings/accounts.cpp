#include "settings/accounts.h"

#include <algorithm>
#include <optional>

#include "common/text.h"
#include "settings/settings.h"

namespace brivane {

namespace {

std::string accountPath(std::string_view keyName) {
  return std::string(kAccountsKey) + "\\" + std::string(keyName);
}

// The number before the first space of a sub-key name, as its digits without
// leading zeros (compared by length, then by digits, so no size limit).
std::optional<std::string> numericPrefix(std::string_view keyName) {
  const size_t space = keyName.find(' ');
  if (space == std::string_view::npos || space == 0) return std::nullopt;
  std::string_view digits = keyName.substr(0, space);
  if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) return std::nullopt;
  while (digits.size() > 1 && digits.front() == '0') digits.remove_prefix(1);
  return std::string(digits);
}

bool numberLess(const std::string& a, const std::string& b) {
  return a.size() != b.size() ? a.size() < b.size() : a < b;
}

// The Windows-1252 byte of each character; "?" for one the code page lacks.
std::string toWindows1252Lossy(std::string_view utf8) {
  std::string out, one;
  size_t i = 0;
  while (i < utf8.size()) {
    size_t n = utf8SequenceLength(utf8.substr(i));
    if (n == 0) n = 1;
    if (utf8ToWindows1252(utf8.substr(i, n), one)) out += one;
    else out.push_back('?');
    i += n;
  }
  return out;
}

}  // namespace

std::string_view EncryptionName(Encryption mode) {
  switch (mode) {
    case Encryption::Tls: return "TLS";
    case Encryption::StartTls: return "STARTTLS";
    case Encryption::None: return "None";
  }
  return "TLS";
}

std::optional<Encryption> ParseEncryption(std::string_view text) {
  for (Encryption mode : {Encryption::Tls, Encryption::StartTls, Encryption::None})
    if (equalsIgnoreCase(text, EncryptionName(mode))) return mode;
  return std::nullopt;
}

std::string_view SignInName(SignIn kind) {
  switch (kind) {
    case SignIn::Password: return "Password";
    case SignIn::PasswordCommand: return "PasswordCommand";
    case SignIn::TokenCommand: return "TokenCommand";
    case SignIn::Keyring: return "Keyring";
  }
  return "Password";
}

std::optional<SignIn> ParseSignIn(std::string_view text) {
  for (SignIn kind : {SignIn::Password, SignIn::PasswordCommand, SignIn::TokenCommand, SignIn::Keyring})
    if (equalsIgnoreCase(text, SignInName(kind))) return kind;
  return std::nullopt;
}

PanelPrivacy PanelPrivacyFromDword(uint32_t stored) {
  // A number from a newer version or a damaged store hides the most: the
  // user chose some privacy, and showing less than chosen is the safe error.
  return stored <= static_cast<uint32_t>(PanelPrivacy::CountsOnly) ? static_cast<PanelPrivacy>(stored)
                                                                    : PanelPrivacy::CountsOnly;
}

int DefaultPort(bool isPOP, Encryption mode) {
  if (mode == Encryption::Tls) return isPOP ? 995 : 993;
  return isPOP ? 110 : 143;
}

bool SameEndpoint(const TEmlAccount& a, const TEmlAccount& b) { return a.server == b.server && a.port == b.port; }

std::string ScramblePassword(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(~static_cast<unsigned char>(c));
  return out;
}

std::string EncodeStoredPassword(std::string_view password) {
  return windows1252ToUtf8(ScramblePassword(password));
}

std::string DecodeStoredPassword(std::string_view stored) {
  const std::string clear = ScramblePassword(toWindows1252Lossy(stored));
  return isValidUtf8(clear) ? clear : windows1252ToUtf8(clear);
}

std::string AccountKeyName(size_t index, std::string_view name) {
  std::string key = std::to_string(index) + " ";
  for (char c : bytesToUtf8(name)) key.push_back((c == '\\' || c == '\r' || c == '\n' || c == '\0') ? '_' : c);
  return key;
}

std::string FoldersToDelimitedText(const std::vector<std::string>& folders) {
  // A single empty entry is written as "" so that it reads back as one entry.
  if (folders.size() == 1 && folders[0].empty()) return "\"\"";
  std::string out;
  for (size_t i = 0; i < folders.size(); ++i) {
    if (i > 0) out.push_back('?');
    const std::string& e = folders[i];
    const bool quote = std::any_of(e.begin(), e.end(), [](char c) {
      return static_cast<unsigned char>(c) <= 32 || c == '"' || c == '?';
    });
    if (!quote) {
      out += e;
      continue;
    }
    out.push_back('"');
    for (char c : e) {
      if (c == '"') out.push_back('"');
      out.push_back(c);
    }
    out.push_back('"');
  }
  return out;
}

std::vector<std::string> DelimitedTextToFolders(std::string_view text) {
  // The text ends at a NUL, as a C string would.
  if (const size_t nul = text.find('\0'); nul != std::string_view::npos) text = text.substr(0, nul);
  const auto isSpace = [&](size_t i) {
    return i < text.size() && static_cast<unsigned char>(text[i]) >= 1 && static_cast<unsigned char>(text[i]) <= 32;
  };
  std::vector<std::string> out;
  size_t p = 0;
  while (isSpace(p)) ++p;
  while (p < text.size()) {
    std::string entry;
    if (text[p] == '"') {
      // Runs to the matching closing quote; a doubled quote stands for one.
      ++p;
      while (p < text.size()) {
        if (text[p] == '"') {
          if (p + 1 < text.size() && text[p + 1] == '"') {
            entry.push_back('"');
            p += 2;
            continue;
          }
          ++p;
          break;
        }
        entry.push_back(text[p++]);
      }
    } else {
      const size_t start = p;
      while (p < text.size() && static_cast<unsigned char>(text[p]) > 32 && text[p] != '?') ++p;
      entry.assign(text.substr(start, p - start));
    }
    out.push_back(std::move(entry));
    while (isSpace(p)) ++p;
    if (p < text.size() && text[p] == '?') {
      if (p + 1 == text.size()) out.emplace_back();  // a trailing "?" adds an empty entry
      ++p;
      while (isSpace(p)) ++p;
    }
  }
  return out;
}

std::string FolderPath(std::string_view entry) {
  const size_t semi = entry.find(';');
  return semi == std::string_view::npos ? std::string() : trimControl(entry.substr(0, semi));
}

std::string FolderCaption(std::string_view entry) {
  const size_t semi = entry.find(';');
  return trimControl(semi == std::string_view::npos ? entry : entry.substr(semi + 1));
}

void LoadAccounts(RegistryStore& store, AccountList& Accounts) {
  Accounts.clear();
  if (!store.openKey(kAccountsKey)) return;
  std::vector<std::string> names = store.subKeyNames(kAccountsKey);
  std::stable_sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    const auto na = numericPrefix(a), nb = numericPrefix(b);
    if (na && nb) return numberLess(*na, *nb);
    return na.has_value() && !nb.has_value();
  });
  for (const auto& keyName : names) {
    const std::string path = accountPath(keyName);
    if (!store.openKey(path)) continue;
    TEmlAccount a;
    const size_t space = keyName.find(' ');
    a.name = space == std::string::npos ? keyName : keyName.substr(space + 1);
    if (const auto v = store.readBool(path, "isIMAP"); v.ok()) a.isPOP = !v.value;
    if (const auto v = store.readString(path, "username"); v.ok()) a.username = v.value;
    if (const auto v = store.readString(path, "password"); v.ok()) a.password = DecodeStoredPassword(v.value);
    if (const auto v = store.readString(path, "server"); v.ok()) a.server = v.value;
    if (const auto v = store.readInteger(path, "port"); v.ok()) a.port = v.value;
    if (const auto v = store.readBool(path, "useTLS"); v.ok()) a.useTLS = v.value;
    if (const auto v = store.readString(path, "usersFolders"); v.ok()) a.folders = DelimitedTextToFolders(v.value);
    // An unknown mode falls back to useTLS, never to no encryption.
    if (const auto v = store.readString(path, "encryption"); v.ok()) a.encryption = ParseEncryption(v.value);
    if (a.encryption) a.useTLS = *a.encryption == Encryption::Tls;
    // An unknown kind signs in with the stored password, as a store without one does.
    if (const auto v = store.readString(path, "signIn"); v.ok()) a.signIn = ParseSignIn(v.value);
    if (const auto v = store.readString(path, "secretCommand"); v.ok()) a.secretCommand = v.value;
    if (const auto v = store.readString(path, "certificateSha256"); v.ok())
      a.trustedCertificate = normalizeFingerprint(v.value).value_or("");
    // Present but not a dword (a text, a damaged value): counts only, as an unknown number.
    if (const auto v = store.readDword(path, "panelPrivacy"); v.status != ReadStatus::Absent)
      a.panelPrivacy = v.ok() ? PanelPrivacyFromDword(v.value) : PanelPrivacy::CountsOnly;
    Accounts.push_back(std::move(a));
  }
}

void SaveAccounts(RegistryStore& store, const AccountList& Accounts) {
  if (store.openKey(kAccountsKey))
    for (const auto& keyName : store.subKeyNames(kAccountsKey)) store.deleteKey(accountPath(keyName));
  for (size_t i = 0; i < Accounts.size(); ++i) {
    const TEmlAccount& a = Accounts[i];
    const std::string path = accountPath(AccountKeyName(i, a.name));
    if (!store.openKey(path)) continue;
    store.writeBool(path, "isIMAP", !a.isPOP);
    store.writeString(path, "username", a.username);
    store.writeString(path, "password", EncodeStoredPassword(a.password));
    store.writeString(path, "server", a.server);
    store.writeInteger(path, "port", a.port);
    store.writeBool(path, "useTLS", encryptionOf(a) == Encryption::Tls);
    if (!a.folders.empty()) store.writeString(path, "usersFolders", FoldersToDelimitedText(a.folders));
    // Written only when set, so a store without them saves as it was.
    if (a.encryption) store.writeString(path, "encryption", std::string(EncryptionName(*a.encryption)));
    if (const auto pin = normalizeFingerprint(a.trustedCertificate)) store.writeString(path, "certificateSha256", *pin);
    if (a.signIn) store.writeString(path, "signIn", std::string(SignInName(*a.signIn)));
    if (!a.secretCommand.empty()) store.writeString(path, "secretCommand", a.secretCommand);
    if (a.panelPrivacy != PanelPrivacy::Everything)
      store.writeDword(path, "panelPrivacy", static_cast<uint32_t>(a.panelPrivacy));
  }
}

}  // namespace brivane
