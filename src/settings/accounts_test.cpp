#include "settings/accounts.h"

#include <gtest/gtest.h>

#include <array>
#include <tuple>

#include "common/text.h"
#include "platform/registry_file.h"
#include "settings/settings.h"

namespace brivane {
namespace {

std::string acct(std::string_view keyName) { return std::string(kAccountsKey) + "\\" + std::string(keyName); }

TEmlAccount account(std::string name, std::string password = "pw", std::vector<std::string> folders = {}) {
  TEmlAccount a;
  std::tie(a.name, a.password, a.username, a.server, a.port, a.useTLS, a.folders) =
      std::tuple(std::move(name), std::move(password), "user", "mail.example.org", 993, true, std::move(folders));
  return a;
}

template <class Store>
AccountList loadFrom(Store&& s) {
  AccountList list;
  LoadAccounts(s, list);
  return list;
}

// The store written out as a file and read back.
MemoryRegistryStore throughFile(const MemoryRegistryStore& s) {
  MemoryRegistryStore back;
  std::string error;
  EXPECT_TRUE(parseRegistryFile(serializeRegistryFile(s.root()), back.root(), error)) << error;
  return back;
}

TEST(Password, ScramblesEachByteAndStoresItThroughWindows1252) {
  EXPECT_EQ(ScramblePassword("abc"), "\x9E\x9D\x9C");
  EXPECT_EQ(ScramblePassword(ScramblePassword("any text")), "any text");
  // 9E 9D 9C as Windows keeps them: U+017E, U+009D, U+0153.
  EXPECT_EQ(EncodeStoredPassword("abc"), "\xC5\xBE\xC2\x9D\xC5\x93");
  EXPECT_EQ(DecodeStoredPassword("\xC5\xBE\xC2\x9D\xC5\x93"), "abc");
  // The five bytes undefined in Windows-1252 ("bop~" scrambles to 9D 90 8F 81).
  EXPECT_EQ(EncodeStoredPassword("bop~"), "\xC2\x9D\xC2\x90\xC2\x8F\xC2\x81");
  EXPECT_EQ(DecodeStoredPassword("\xC2\x9D\xC2\x90\xC2\x8F\xC2\x81"), "bop~");
  // A password typed on Windows: "ò" is F2 there, stored as U+000D.
  EXPECT_EQ(DecodeStoredPassword("\r"), "ò");
  // A stored character Windows-1252 lacks reads as "?" (scrambled back: 0xC0 -> "À").
  EXPECT_EQ(DecodeStoredPassword("\xE2\x82\xB9"), "À");
}

TEST(Password, EveryScrambledByteSurvivesTheStoreFile) {
  // Every byte 0x01..0xFE as a scrambled password byte, through a real file.
  std::string scrambled;
  for (int b = 1; b <= 0xFE; ++b) scrambled.push_back(static_cast<char>(b));
  MemoryRegistryStore s;
  s.writeString("\\K", "password", windows1252ToUtf8(scrambled));
  std::string bytes;
  ASSERT_TRUE(utf8ToWindows1252(throughFile(s).readString("\\K", "password").value, bytes));
  EXPECT_EQ(bytes, scrambled);

  // And every UTF-8 password of the characters U+0001..U+00FE, as an account.
  std::string all;
  for (char32_t c = 1; c <= 0xFE; ++c) appendUtf8(all, c);
  MemoryRegistryStore store;
  SaveAccounts(store, {account("a", all)});
  const AccountList loaded = loadFrom(throughFile(store));
  ASSERT_EQ(loaded.size(), 1u);
  EXPECT_EQ(loaded[0].password, all);
}

TEST(DelimitedText, WritesAndReadsTheFolderList) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"INBOX;Inbox", "Sent Items;Sent Items"}, "INBOX;Inbox?\"Sent Items;Sent Items\""},
      {{"a\"b", "c?d", "tab\there", "plain"}, "\"a\"\"b\"?\"c?d\"?\"tab\there\"?plain"},
      {{"x", "", "y"}, "x??y"}, {{""}, "\"\""}, {{}, ""}, {{"ünïcode;Ü"}, "ünïcode;Ü"}};
  for (const auto& [folders, text] : cases) {
    EXPECT_EQ(FoldersToDelimitedText(folders), text);
    EXPECT_EQ(DelimitedTextToFolders(text), folders) << text;
  }
}

TEST(DelimitedText, ReadsHandMadeTexts) {
  using V = std::vector<std::string>;
  EXPECT_EQ(DelimitedTextToFolders("  a ? b  "), (V{"a", "b"}));
  EXPECT_EQ(DelimitedTextToFolders("a b"), (V{"a", "b"}));          // a space ends an unquoted entry
  EXPECT_EQ(DelimitedTextToFolders("a?"), (V{"a", ""}));            // trailing "?" adds an empty entry
  EXPECT_EQ(DelimitedTextToFolders("a? "), (V{"a"}));               // but not when blanks follow it
  EXPECT_EQ(DelimitedTextToFolders("\"open ended"), (V{"open ended"}));
  EXPECT_EQ(DelimitedTextToFolders("\"q\"x"), (V{"q", "x"}));
  EXPECT_EQ(DelimitedTextToFolders("?"), (V{"", ""}));
  EXPECT_EQ(DelimitedTextToFolders(std::string_view("a\0?b", 4)), (V{"a"}));
}

TEST(FolderEntry, PathAndCaption) {
  const std::array<const char*, 3> cases[] = {
      {" INBOX ; Inbox ", "INBOX", "Inbox"}, {"a;b;c", "a", "b;c"}, {" Archive ", "", "Archive"}};
  for (auto [entry, path, caption] : cases) {
    EXPECT_EQ(FolderPath(entry), path) << entry;
    EXPECT_EQ(FolderCaption(entry), caption) << entry;
  }
}

TEST(Accounts, SubKeyNamesGiveTheAccountNames) {
  MemoryRegistryStore s;
  for (const char* k : {"0 Home mail", "3 My mail box", "Personal", "1 "}) s.openKey(acct(k));
  const AccountList list = loadFrom(s);
  std::vector<std::string> names;
  for (const auto& a : list) names.push_back(a.name);
  EXPECT_EQ(names, (std::vector<std::string>{"Home mail", "", "My mail box", "Personal"}));
  // A hand-made sub-key without values: IMAP4, nothing else set.
  EXPECT_EQ(std::tuple(list[3].isPOP, list[3].port, list[3].folders.size()), std::tuple(false, 0, 0u));
}

TEST(Accounts, ElevenAndMoreKeepTheirSavedOrder) {
  AccountList saved;
  for (int i = 0; i < 12; ++i) saved.push_back(account("acct" + std::to_string(i)));
  MemoryRegistryStore s;
  SaveAccounts(s, saved);
  s.openKey(acct("Loose"));  // no number: last
  s.openKey(acct("007 Bond"));
  const AccountList loaded = loadFrom(s);
  ASSERT_EQ(loaded.size(), 14u);
  // Equal numbers keep their enumeration order: "007 Bond" sorts before "7 acct7".
  EXPECT_EQ(loaded[7].name, "Bond");
  EXPECT_EQ(loaded[8].name, "acct7");
  EXPECT_EQ(loaded[12].name, "acct11");
  EXPECT_EQ(loaded[13].name, "Loose");
}

TEST(Accounts, SaveReplacesTheWholeListAndRoundTrips) {
  MemoryRegistryStore s;
  SaveAccounts(s, AccountList(5, account("old")));
  AccountList three = {account("Home", "abc", {"INBOX;Inbox", "Sent Items;Sent"}), account("Work"),
                       account("Back\\slash\r\nname")};
  std::tie(three[1].isPOP, three[1].useTLS, three[1].port) = std::tuple(true, false, 110);
  SaveAccounts(s, three);
  EXPECT_EQ(s.subKeyNames(kAccountsKey), (std::vector<std::string>{"0 Home", "1 Work", "2 Back_slash__name"}));
  // An empty folder list is not written.
  EXPECT_EQ(s.getValue(acct("1 Work"), "usersFolders"), std::nullopt);
  EXPECT_EQ(s.readBool(acct("1 Work"), "isIMAP").value, false);
  EXPECT_EQ(s.getValue(acct("0 Home"), "password")->data, std::string("\x7E\x01\x9D\x00\x53\x01\x00\x00", 8));

  const AccountList loaded = loadFrom(s);
  ASSERT_EQ(loaded.size(), 3u);
  EXPECT_EQ(std::tie(loaded[0].folders, loaded[0].password), std::tuple(three[0].folders, "abc"));
  EXPECT_EQ(std::tuple(loaded[1].isPOP, loaded[1].useTLS, loaded[1].port, loaded[1].folders.size()),
            std::tuple(true, false, 110, 0u));
  EXPECT_EQ(loaded[2].name, "Back_slash__name");
}

TEST(Accounts, ValuesOfTheWrongTypeAreSkipped) {
  MemoryRegistryStore s;
  const std::string k = acct("0 Odd");
  s.writeString(k, "isIMAP", "0");     // not a DWORD: stays IMAP4
  s.writeString(k, "port", "993");
  s.writeDword(k, "server", 5);
  s.writeDword(k, "usersFolders", 1);
  s.writeString(k, "username", "kept");
  const AccountList list = loadFrom(s);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(std::tuple(list[0].isPOP, list[0].port, list[0].server, list[0].folders.size(), list[0].username),
            std::tuple(false, 0, "", 0u, "kept"));
}

}  // namespace
}  // namespace brivane
