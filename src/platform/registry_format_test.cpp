#include "platform/registry_format.h"

#include <gtest/gtest.h>
#include <sstream>

#include "common/text.h"
#include "platform/utf16.h"

namespace brivane {
namespace {

using namespace std::string_literals;
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
    EXPECT_EQ(s.readString("\\K", "path").value, "C:\\Media\\\"ding\".wav");
    EXPECT_EQ(s.readString("\\K", "multi").value, "line one\r\nline two");
    EXPECT_EQ(s.readString("\\K", "raw").value, "a\x01\xc2\x9d" "b");
    EXPECT_EQ(s.readString("\\K", "").value, "default");
    EXPECT_EQ(s.getValue("\\K", "expand")->type, 2u);
    EXPECT_EQ(s.readString("\\K", "expand").status, ReadStatus::WrongType);
    EXPECT_EQ(s.getValue("\\K", "list")->data, "a\0\0\0b\0\0\0\0\0"s);
    EXPECT_EQ(s.getValue("\\K", "blob")->data, "\xde\xad\xbe\xef");
    EXPECT_EQ(s.getValue("\\K", "q")->type, 11u);
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
  EXPECT_EQ(s.valueNames("\\K"), Names{"ok"});
  EXPECT_EQ(s.readDword("\\K", "ok").value, 1u);
  EXPECT_EQ(s.root().extraLines, (std::vector<RawLine>{{0, "\"before\"=\"any key\""}}));
  EXPECT_EQ(keyK(s.root()).extraLines.size(), 4u);
  EXPECT_EQ(s.valueNames("\\A"), Names{});
  EXPECT_EQ(s.valueNames("\\B"), Names{"v"});
  EXPECT_EQ(s.readString("\\B", "v").value + std::to_string(s.readDword("\\C", "w").value), "x2");
  EXPECT_TRUE(contains(written(s), "\"open\"=\"never closed\n"));
  EXPECT_EQ(written(storeOf(written(s))), written(s));
  // A value named twice stands where it was named last, so the kept lines
  // around that place do not meet and read back as one value.
  const RegNode twice =
      parse("REGEDIT4\n[HKEY_CURRENT_USER\\K]\n\"a\"=dword:1\n\"x\"=\"open\n\"a\"=dword:2\n?\\\"end\\\"\"\n");
  const RegNode back = parse(serializeRegistryFile(twice));
  EXPECT_EQ(keyK(back).extraLines.size(), 2u);
  EXPECT_EQ(keyK(back).values, keyK(twice).values);
  // Nor do kept lines that stood apart (a key in two sections, a value deleted
  // between two lines), nor a kept line and a default value after it.
  for (const char* text : {"REGEDIT4\n[HKEY_CURRENT_USER\\K]\n\"x\"=\"open\n[HKEY_CURRENT_USER\\K]\nclose\"\n",
                           "REGEDIT4\n[HKEY_CURRENT_USER\\K]\n\"x\"=\"open\n\"b\"=dword:1\nclose\"\n",
                           "REGEDIT4\n[HKEY_CURRENT_USER\\K]\n\"x\"=\"open\n\"\"=dword:1\nclose\"\n"}) {
    MemoryRegistryStore store = storeOf(text);
    store.deleteValue("\\K", "b");
    MemoryRegistryStore reread = storeOf(written(store));
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
    EXPECT_EQ(s.valueNames("\\A\\0 Home"), Names{"server"});
    EXPECT_EQ(s.readString("\\A\\0 Home", "server").value, "home");
    EXPECT_EQ(s.root().extraLines.size(), 3u);
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
  EXPECT_TRUE(root.children.empty());
  EXPECT_EQ(root.extraLines.size(), 1u);
  EXPECT_EQ(keyK(parse(open)).extraLines.size(), 100000u);
  EXPECT_TRUE(parse(" \r\n\n").children.empty());  // blank: an empty store
}

}  // namespace
}  // namespace brivane
