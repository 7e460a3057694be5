#include "platform/registry_format.h"

#include <gtest/gtest.h>
#include <sstream>

#include "common/text.h"
#include "platform/utf16.h"

namespace brivane {
namespace {

using namespace std::string_literals;
using namespace std::string_view_literals;
using Names = std::vector<std::string>;

RegNode parse(std::string_view text) {
  RegNode root;
  std::string error;
  EXPECT_TRUE(parseRegistryFile(text, root, error)) << error;
  return root;
}

MemoryRegistryStore storeOf(std::string_view text) {
  MemoryRegistryStore s;
  s.root() = parse(text);
  return s;
}

std::string written(const MemoryRegistryStore& s) { return serializeRegistryFile(s.root()); }
bool contains(const std::string& text, std::string_view part) { return text.find(part) != std::string::npos; }
const RegNode& keyK(const RegNode& root) { return *root.child(kCurrentUserHive)->child("K"); }

constexpr std::string_view kSample =
    "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\K]\r\n"
    "\"pollInterval\"=dword:000493E0\r\n; about the interval\r\n\"path\"=\"C:\\\\Media\\\\\\\"ding\\\".wav\"\r\n"
    "\"multi\"=\"line one\r\nline two\"\r\n\"raw\"=\"a\x01\xc2\x9d" "b\"\r\n@=\"default\"\r\n"
    "\"expand\"=hex(2):25,00,55,00,53,00,45,00,52,00,25,00,00,00\r\n\"blob\"=hex:de,ad,BE,ef\r\n"
    "\"list\"=hex(7):61,00,00,00,62,00,00,00,\\\r\n  00,00\r\n\"q\"=hex(b):01,00,00,00,00,00,00,00\r\n"
    "; a comment line\r\n\r\n[HKEY_CURRENT_USER\\A\\0 my [work] box]\r\n\"useTLS\"=dword:00000001\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Other]\r\n\"x\"=\"y\"\r\n";

// The sample as UTF-8, as UTF-16LE with its byte-order mark, and as UTF-8 with
// one; written back as UTF-8 with LF, keeping unknown types, hives and lines.
TEST(RegistryFormat, ReadsTheExportSyntaxInEachEncodingAndWritesItBack) {
  const std::string plain(kSample);
  for (const std::string& text : {plain, "\xFF\xFE" + utf8ToUtf16Le(plain), "\xEF\xBB\xBF" + plain}) {
    SCOPED_TRACE(text.substr(0, 3));
    MemoryRegistryStore s = storeOf(text);
    EXPECT_EQ(s.readInteger("\\K", "pollInterval").value, 300000);
    Names texts;
    for (const char* name : {"path", "multi", "raw", ""}) texts.push_back(s.readString("\\K", name).value);
    EXPECT_EQ(texts, (Names{"C:\\Media\\\"ding\".wav", "line one\r\nline two", "a\x01\xc2\x9d" "b", "default"}));
    EXPECT_EQ(std::tuple(s.getValue("\\K", "expand")->type, s.readString("\\K", "expand").status,
                         s.getValue("\\K", "q")->type), std::tuple(2u, ReadStatus::WrongType, 11u));
    EXPECT_EQ(s.getValue("\\K", "list")->data + s.getValue("\\K", "blob")->data, "a\0\0\0b\0\0\0\0\0\xde\xad\xbe\xef"s);
    EXPECT_EQ(s.subKeyNames("\\A"), Names{"0 my [work] box"});  // the key path runs to the last "]"
    const std::string out = written(s);
    EXPECT_EQ(serializeRegistryFile(parse(out)), out);
    for (std::string_view part : {"\"expand\"=hex(2):25,00,55,00,53,00,45,00,52,00,25,00,00,00\n",
                                  "\"list\"=hex(7):61,00,00,00,62,00,00,00,00,00\n", "\"q\"=hex(b):01,00",
                                  "\"pollInterval\"=dword:000493e0\n; about the interval\n\"path\"",
                                  "; a comment line\n", "[HKEY_LOCAL_MACHINE\\Software\\Other]\n\"x\"=\"y\"\n"})
      EXPECT_TRUE(contains(out, part)) << part;
    EXPECT_FALSE(contains(out, "\r"));
  }
}

// Strings with controls are written as hex(1); long hex data wraps within 80 columns.
TEST(RegistryFormat, WritesEachValueInAFormThatReadsBack) {
  MemoryRegistryStore s;
  s.writeString("\\K", "plain", "a \"q\" \\ ò");
  s.writeString("\\K", "ctl", "\xC5\xBE\xC2\x9D");  // U+017E U+009D
  s.writeString("\\K", "lf", "a\nb");
  s.writeString("\\K", "empty", "");
  std::string blob;
  for (int i = 0; i < 300; ++i) blob.push_back(static_cast<char>(i));
  s.setValue("\\K", "b", RegValue{kRegBinary, blob});
  const std::string text = written(s);
  for (std::string_view line : {"\"plain\"=\"a \\\"q\\\" \\\\ ò\"\n", "\"ctl\"=hex(1):7e,01,9d,00,00,00\n",
                                "\"lf\"=hex(1):61,00,0a,00,62,00,00,00\n", "\"empty\"=\"\"\n"})
    EXPECT_TRUE(contains(text, line)) << line;
  std::istringstream lines(text);
  for (std::string l; std::getline(lines, l);) EXPECT_LE(l.size(), 80u) << l;
  for (const char* name : {"plain", "ctl", "lf", "empty", "b"})
    EXPECT_EQ(storeOf(text).getValue("\\K", name), s.getValue("\\K", name)) << name;
}

// A broken line is kept as a line of its key and never swallows the next
// value or key, on reading nor after writing.
TEST(RegistryFormat, MalformedLinesAreKeptAndNeverSwallowTheNextKey) {
  MemoryRegistryStore s = storeOf(
      "REGEDIT4\n\"before\"=\"any key\"\n[HKEY_CURRENT_USER\\K]\n\"open\"=\"never closed\n\"ok\"=dword:1\n"
      "\"bad\"=dword:123456789\n\"badhex\"=hex:zz\n\"del\"=-\n[HKEY_CURRENT_USER\\A]\n\"broken\n\n"
      "[HKEY_CURRENT_USER\\B]\n\"v\"=\"x\"\n\"s\"=\"open\n[HKEY_CURRENT_USER\\C]\n\"w\"=dword:00000002\n");
  EXPECT_EQ(std::tuple(s.valueNames("\\K"), s.valueNames("\\A"), s.valueNames("\\B"), keyK(s.root()).extraLines.size()),
            std::tuple(Names{"ok"}, Names{}, Names{"v"}, 4u));
  EXPECT_EQ(s.root().extraLines, (std::vector<RawLine>{{0, "\"before\"=\"any key\""}}));
  EXPECT_EQ(std::to_string(s.readDword("\\K", "ok").value) + s.readString("\\B", "v").value +
                std::to_string(s.readDword("\\C", "w").value), "1x2");
  EXPECT_TRUE(contains(written(s), "\"open\"=\"never closed\n"));
  EXPECT_EQ(written(storeOf(written(s))), written(s));
  // Kept lines that stood apart never meet and read back as one value: around a value named twice (it stands
  // where it was named last), in a key of two sections, before a default value.
  for (const char* lines : {"\"a\"=dword:1\n\"x\"=\"open\n\"a\"=dword:2\n?\\\"end\\\"\"\n",
                            "\"x\"=\"open\n[HKEY_CURRENT_USER\\K]\nclose\"\n",
                            "\"x\"=\"open\n\"\"=dword:1\nclose\"\n"}) {
    const MemoryRegistryStore store = storeOf("REGEDIT4\n[HKEY_CURRENT_USER\\K]\n"s + lines);
    const MemoryRegistryStore reread = storeOf(written(store));
    EXPECT_EQ(reread.valueNames("\\K"), store.valueNames("\\K")) << written(store);
    EXPECT_EQ(written(reread), written(store));
  }
}

// A key line that cannot be read must not hand its values to the key before
// it: the next save would delete them with that key.
TEST(RegistryFormat, ValuesAfterAnUnreadableKeyLineBelongToNoKey) {
  for (const std::string& bad : {"[HKEY_CURRENT_USER\\A\\1 Work] ; office"s, "[HKEY_CURRENT_USER\\A\\\\1 Work]"s,
                                 "[-HKEY_CURRENT_USER\\A\\1 Work]"s, "[HKEY_CURRENT_USER\\A\\1 W\0rk]"s}) {
    SCOPED_TRACE(bad);
    MemoryRegistryStore s = storeOf("REGEDIT4\n[HKEY_CURRENT_USER\\A\\0 Home]\n\"server\"=\"home\"\n" + bad +
                                    "\n\"server\"=\"work\"\n\"port\"=dword:00000001\n");
    EXPECT_EQ(std::tuple(s.valueNames("\\A\\0 Home"), s.readString("\\A\\0 Home", "server").value,
                         s.root().extraLines.size()), std::tuple(Names{"server"}, "home", 3u));
    ASSERT_TRUE(s.deleteKey("\\A\\0 Home"));  // as saving the accounts does
    EXPECT_TRUE(contains(written(s), "\"server\"=\"work\"\n\"port\"=dword:00000001\n")) << written(s);
    EXPECT_EQ(written(storeOf(written(s))), written(s));
  }
}

// Decided for the whole file: an ANSI password with runs that look like UTF-8
// reads as Windows-1252; a UTF-16 unpaired surrogate survives in string data.
TEST(RegistryFormat, EncodingIsDecidedOnceForTheWholeFile) {
  const std::string password = "\xAF\x9E\xCA\xCA\x88\x90\x8D\x9B";  // "Pa55word" scrambled
  MemoryRegistryStore ansi = storeOf("REGEDIT4\r\n[HKEY_CURRENT_USER\\K]\r\n\"password\"=\"" + password + "\"\r\n");
  EXPECT_EQ(ansi.readString("\\K", "password").value, windows1252ToUtf8(password));
  EXPECT_EQ(storeOf(written(ansi)).getValue("\\K", "password"), ansi.getValue("\\K", "password"));
  const std::string lone = "a\0\x00\xD8" "b\0"s;  // "a", U+D800 alone, "b"
  const auto u = [](const char* t) { return utf8ToUtf16Le(t); };
  MemoryRegistryStore s = storeOf("\xFF\xFE" + u("Windows Registry Editor Version 5.00\r\n[HKEY_CURRENT_USER\\K]\r\n") +
                                  u("\"v\"=\"") + lone + u("\"\r\n[HKEY_CURRENT_USER\\") + lone + u("]\r\n") + lone +
                                  u("\r\n"));
  EXPECT_EQ(s.getValue("\\K", "v")->data, lone + "\0\0"s);
  // A name or a kept line reads it as U+FFFD at once: what a save writes reads back.
  const RegNode* key = s.root().child(kCurrentUserHive)->child("a\uFFFDb");
  ASSERT_TRUE(key && key->extraLines.size() == 1);
  EXPECT_EQ(key->extraLines[0].text, "a\uFFFDb");
  EXPECT_TRUE(isValidUtf8(written(s)));  // so that it reads back as UTF-8 at all
  EXPECT_EQ(storeOf(written(s)).getValue("\\K", "v")->data, lone + "\0\0"s);
}

// A key path deeper than the registry allows is kept as a line, not built;
// many strings that never close are each kept, in linear time.
TEST(RegistryFormat, HostileFilesStayBounded) {
  std::string deep = "REGEDIT4\n[HKEY_CURRENT_USER", open = "REGEDIT4\n[HKEY_CURRENT_USER\\K]\n";
  for (int i = 0; i < 100000; ++i) deep += "\\a", open += "@=\"x\n";
  const RegNode root = parse(deep + "]\n");
  EXPECT_TRUE(root.children.empty() && root.extraLines.size() == 1u);
  EXPECT_EQ(keyK(parse(open)).extraLines.size(), 100000u);
  EXPECT_TRUE(parse(" \r\n\n").children.empty());  // blank: an empty store
}

TEST(RegistryStore, NamesAreCaseInsensitiveKeepTheirFirstSpellingAndSortInUpperCase) {
  MemoryRegistryStore s;
  ASSERT_TRUE(s.writeString("\\Software\\Torvex\\Main", "NotificationPath", "a"));
  ASSERT_TRUE(s.writeString("\\SOFTWARE\\torvex\\MAIN", "notificationpath", "b"));
  ASSERT_TRUE(s.openKey("\\K\\Ärger"));  // folding beyond ASCII
  for (const char* n : {"b", "10 x", "A", "2 y", "_u", "C"}) ASSERT_TRUE(s.openKey(std::string("\\L\\") + n));
  EXPECT_EQ(std::tuple(s.valueNames("\\Software\\Torvex\\Main"), s.subKeyNames("\\Software"),
                       s.readString("\\software\\torvex\\main", "NOTIFICATIONPATH").value, s.keyExists("\\K\\äRGER")),
            std::tuple(Names{"NotificationPath"}, Names{"Torvex"}, "b", true));
  EXPECT_EQ(s.subKeyNames("\\L"), (Names{"10 x", "2 y", "A", "b", "C", "_u"}));  // "_" after the letters
}

// Typed reads tell an absent value from one of the wrong type; strings are UTF-16;
// deleting a key is recursive; invalid paths fail; a transaction keeps all or nothing.
TEST(RegistryStore, TypedValuesKeysAndTransactions) {
  MemoryRegistryStore s;
  s.writeDword("\\K", "d", 0xFFFFFFFF);
  s.writeString("\\K", "s", "ò€😀");
  s.setValue("\\K", "x", RegValue{kRegExpandSz, std::string("a\0\0\0", 4)});
  s.setValue("\\K", "short", RegValue{kRegDword, std::string("\1\0", 2)});
  s.setValue("\\K", "n", RegValue{kRegSz, std::string("a\0\0\0b\0\0\0", 8)});
  EXPECT_EQ(std::tuple(s.readInteger("\\K", "d").value, s.readBool("\\K", "d").value), std::tuple(-1, true));
  EXPECT_EQ(std::pair(s.readDword("\\K", "missing").status, s.readString("\\Missing", "s").status),
            std::pair(ReadStatus::Absent, ReadStatus::Absent));
  for (const char* name : {"s", "short"}) EXPECT_EQ(s.readDword("\\K", name).status, ReadStatus::WrongType) << name;
  for (const char* name : {"d", "x"}) EXPECT_EQ(s.readString("\\K", name).status, ReadStatus::WrongType) << name;
  EXPECT_EQ(s.getValue("\\K", "s")->data, std::string("\xF2\x00\xAC\x20\x3D\xD8\x00\xDE\x00\x00", 10));
  EXPECT_EQ(s.readString("\\K", "s").value + "|" + s.readString("\\K", "n").value, "ò€😀|a");  // "n" up to its NUL
  s.writeDword("\\A\\B\\C", "v", 1);
  s.openKey("\\A\\D");
  EXPECT_TRUE(s.deleteKey("\\a\\b") && !s.keyExists("\\A\\B\\C") && s.keyExists("\\A\\D") && !s.deleteKey("\\A\\B"));
  for (std::string_view bad : {"\\A\\\\B"sv, "\\A\\"sv, "\\A\rB"sv, "\\A\0B"sv})
    EXPECT_FALSE(s.openKey(bad) || s.writeDword(bad, "v", 1)) << bad;
  EXPECT_FALSE(s.writeDword("\\A", "two\nlines", 1));
  EXPECT_FALSE(s.transact([](RegistryStore& t) { t.writeDword("\\A\\D", "v", 2), t.deleteKey("\\A"); return false; }));
  EXPECT_TRUE(s.keyExists("\\A\\D") && !s.getValue("\\A\\D", "v"));
  EXPECT_TRUE(s.transact([](RegistryStore& t) { return t.writeDword("\\A\\D", "v", 3); }) &&
              s.readDword("\\A\\D", "v").value == 3u);
}

}  // namespace
}  // namespace brivane
