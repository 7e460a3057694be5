#include "settings/accounts.h"

#include <gtest/gtest.h>
#include <tuple>

#include "common/text.h"
#include "platform/registry_file.h"
#include "settings/settings.h"

namespace brivane {
namespace {

using Names = std::vector<std::string>;

std::string acct(std::string_view keyName) { return std::string(kAccountsKey) + "\\" + std::string(keyName); }

TEmlAccount account(std::string name, std::string password = "pw", Names folders = {}) {
  TEmlAccount a;
  std::tie(a.name, a.password, a.username, a.server, a.port, a.useTLS, a.folders) =
      std::tuple(std::move(name), std::move(password), "user", "mail.example.org", 993, true, std::move(folders));
  return a;
}

AccountList loadFrom(RegistryStore& s) {
  AccountList list;
  LoadAccounts(s, list);
  return list;
}

TEST(Password, ScramblesEachByteAndStoresItThroughWindows1252) {
  EXPECT_EQ(ScramblePassword("abc"), "\x9E\x9D\x9C");
  EXPECT_EQ(ScramblePassword(ScramblePassword("any text")), "any text");
  // 9E 9D 9C as Windows keeps them: U+017E, U+009D, U+0153; then the five
  // bytes undefined in Windows-1252 ("bop~" scrambles to 9D 90 8F 81).
  const std::pair<const char*, const char*> forms[] = {{"abc", "\xC5\xBE\xC2\x9D\xC5\x93"},
                                                       {"bop~", "\xC2\x9D\xC2\x90\xC2\x8F\xC2\x81"}};
  for (auto [password, stored] : forms) {
    EXPECT_EQ(EncodeStoredPassword(password), stored);
    EXPECT_EQ(DecodeStoredPassword(stored), password);
  }
  EXPECT_EQ(DecodeStoredPassword("\r"), "ò");  // typed on Windows: "ò" is F2 there, stored as U+000D
  // A stored character Windows-1252 lacks reads as "?" (scrambled back: 0xC0 -> "À").
  EXPECT_EQ(DecodeStoredPassword("\xE2\x82\xB9"), "À");
  // A password of every character U+0001..U+00FE (so every scrambled byte) survives the store file.
  std::string all, error;
  for (int b = 1; b <= 0xFE; ++b) appendUtf8(all, b);
  MemoryRegistryStore store, back;
  SaveAccounts(store, {account("a", all)});
  ASSERT_TRUE(parseRegistryFile(serializeRegistryFile(store.root()), back.root(), error)) << error;
  const AccountList loaded = loadFrom(back);
  EXPECT_TRUE(loaded.size() == 1u && loaded[0].password == all);
}

TEST(DelimitedText, WritesAndReadsTheFolderList) {
  const std::pair<Names, std::string> cases[] = {
      {{"INBOX;Inbox", "Sent Items;Sent Items"}, "INBOX;Inbox?\"Sent Items;Sent Items\""},
      {{"a\"b", "c?d", "tab\there", "plain"}, "\"a\"\"b\"?\"c?d\"?\"tab\there\"?plain"},
      {{"x", "", "y"}, "x??y"}, {{""}, "\"\""}, {{}, ""}, {{"ünïcode;Ü"}, "ünïcode;Ü"}};
  for (const auto& [folders, text] : cases) {
    EXPECT_EQ(FoldersToDelimitedText(folders), text);
    EXPECT_EQ(DelimitedTextToFolders(text), folders) << text;
  }
  // Hand-made texts: a space ends an unquoted entry; a trailing "?" adds an
  // empty entry, but not when blanks follow it.
  const std::pair<std::string_view, Names> read[] = {
      {"  a ? b  ", {"a", "b"}}, {"a b", {"a", "b"}}, {"a?", {"a", ""}}, {"a? ", {"a"}}, {"?", {"", ""}},
      {"\"open ended", {"open ended"}}, {"\"q\"x", {"q", "x"}}, {std::string_view("a\0?b", 4), {"a"}}};
  for (const auto& [text, folders] : read) EXPECT_EQ(DelimitedTextToFolders(text), folders) << text;
  for (auto [entry, path, caption] : {std::tuple{" INBOX ; Inbox ", "INBOX", "Inbox"}, {"a;b;c", "a", "b;c"},
                                      {" Archive ", "", "Archive"}}) {
    EXPECT_EQ(FolderPath(entry), path) << entry;
    EXPECT_EQ(FolderCaption(entry), caption) << entry;
  }
}

// In the order of their numbers (equal ones as enumerated: "007 Bond" before
// "7 acct7"), those without one last; values of the wrong type are skipped.
TEST(Accounts, SubKeyNamesGiveTheAccountNamesInTheirSavedOrder) {
  AccountList saved;
  for (int i = 0; i < 12; ++i) saved.push_back(account("acct" + std::to_string(i)));
  MemoryRegistryStore s;
  SaveAccounts(s, saved);
  for (const char* k : {"Loose", "007 Bond", "1 ", "13 My mail box"}) s.openKey(acct(k));
  s.writeString(acct("Loose"), "isIMAP", "0");  // not a DWORD: stays IMAP4
  s.writeString(acct("Loose"), "port", "993");
  s.writeDword(acct("Loose"), "server", 5);
  s.writeDword(acct("Loose"), "usersFolders", 1);
  s.writeString(acct("Loose"), "username", "kept");
  const AccountList list = loadFrom(s);
  Names names;
  for (const auto& a : list) names.push_back(a.name);
  EXPECT_EQ(names, (Names{"acct0", "", "acct1", "acct2", "acct3", "acct4", "acct5", "acct6", "Bond", "acct7", "acct8",
                          "acct9", "acct10", "acct11", "My mail box", "Loose"}));
  const TEmlAccount& loose = list.back();
  EXPECT_EQ(std::tuple(loose.isPOP, loose.port, loose.server, loose.folders.size(), loose.username),
            std::tuple(false, 0, "", 0u, "kept"));
}

// What each field reads back as is proved on the store files (settings_test); here, the old list goes.
TEST(Accounts, SaveReplacesTheWholeListUnderKeyNamesThatCannotBreakThePath) {
  MemoryRegistryStore s;
  SaveAccounts(s, AccountList(5, account("old")));
  SaveAccounts(s, {account("Home"), account("Back\\slash\r\nname")});
  EXPECT_EQ(s.subKeyNames(kAccountsKey), (Names{"0 Home", "1 Back_slash__name"}));
  EXPECT_EQ(s.getValue(acct("1 Back_slash__name"), "usersFolders"), std::nullopt);  // an empty list is not written
}

}  // namespace
}  // namespace brivane

namespace brivane {
namespace {

// The encryption mode and the trusted certificate are new values beside
// useTLS: a store without them reads and saves as it was, a valid mode
// decides, an unknown one falls back to useTLS (never to no encryption).
TEST(Accounts, EncryptionModeAndTrustedCertificate) {
  const std::string pin(95, 'A');
  const struct { const char* name; std::optional<std::string> stored; bool useTLS; Encryption mode; } rows[] = {
      {"no value, TLS", std::nullopt, true, Encryption::Tls},
      {"no value, plain", std::nullopt, false, Encryption::None},
      {"STARTTLS", "starttls", true, Encryption::StartTls},
      {"none", "None", true, Encryption::None},
      {"unknown, TLS", "ssl3", true, Encryption::Tls},
      {"unknown, plain", "", false, Encryption::None},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    MemoryRegistryStore s;
    TEmlAccount a = account("A");
    a.useTLS = r.useTLS;
    SaveAccounts(s, {a});
    EXPECT_EQ(s.getValue(acct("0 A"), "encryption"), std::nullopt);  // saved as before
    if (r.stored) s.writeString(acct("0 A"), "encryption", *r.stored);
    s.writeString(acct("0 A"), "certificateSha256", std::string(64, 'a'));
    TEmlAccount got = loadFrom(s).at(0);
    EXPECT_EQ(std::tuple(encryptionOf(got), got.useTLS, got.trustedCertificate),
              std::tuple(r.mode, r.mode == Encryption::Tls, normalizeFingerprint(std::string(64, 'A')).value()));
    setEncryption(got, Encryption::StartTls);
    SaveAccounts(s, {got});
    const TEmlAccount again = loadFrom(s).at(0);
    EXPECT_EQ(std::tuple(encryptionOf(again), again.useTLS, again.trustedCertificate),
              std::tuple(Encryption::StartTls, false, got.trustedCertificate));
  }
  MemoryRegistryStore s;
  TEmlAccount bad = account("B");
  bad.trustedCertificate = "not a fingerprint";
  SaveAccounts(s, {bad});
  EXPECT_EQ(s.getValue(acct("0 B"), "certificateSha256"), std::nullopt);
}

// "panelPrivacy": absent is everything and saves as absent; each level
// survives a save; anything else stored reads as the strictest level.
TEST(Accounts, PanelPrivacyLevel) {
  const struct { const char* name; std::optional<RegValue> stored; PanelPrivacy level; } rows[] = {
      {"absent", std::nullopt, PanelPrivacy::Everything},
      {"0", RegValue::dword(0), PanelPrivacy::Everything},
      {"1", RegValue::dword(1), PanelPrivacy::NoPreviews},
      {"2", RegValue::dword(2), PanelPrivacy::SendersOnly},
      {"3", RegValue::dword(3), PanelPrivacy::CountsOnly},
      {"out of range", RegValue::dword(4), PanelPrivacy::CountsOnly},
      {"all ones", RegValue::dword(0xFFFFFFFFu), PanelPrivacy::CountsOnly},
      {"a text", RegValue::string("0"), PanelPrivacy::CountsOnly},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    MemoryRegistryStore s;
    SaveAccounts(s, {account("A")});
    EXPECT_EQ(s.getValue(acct("0 A"), "panelPrivacy"), std::nullopt);
    if (r.stored) s.setValue(acct("0 A"), "panelPrivacy", *r.stored);
    const TEmlAccount got = loadFrom(s).at(0);
    EXPECT_EQ(got.panelPrivacy, r.level);
    SaveAccounts(s, {got});
    EXPECT_EQ(s.getValue(acct("0 A"), "panelPrivacy"),
              r.level == PanelPrivacy::Everything ? std::nullopt
                                                  : std::optional(RegValue::dword(static_cast<uint32_t>(r.level))));
  }
}

}  // namespace
}  // namespace brivane
