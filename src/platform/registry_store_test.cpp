#include "platform/registry_store.h"

#include <gtest/gtest.h>

namespace brivane {
namespace {

using namespace std::string_view_literals;
using Names = std::vector<std::string>;

TEST(RegistryStore, NamesAreCaseInsensitiveKeepTheirFirstSpellingAndSortInUpperCase) {
  MemoryRegistryStore s;
  ASSERT_TRUE(s.openKey("\\Software\\Torvex\\Main"));
  EXPECT_TRUE(s.keyExists("software\\TORVEX\\main"));
  ASSERT_TRUE(s.writeString("\\SOFTWARE\\torvex\\MAIN", "NotificationPath", "a"));
  ASSERT_TRUE(s.writeString("\\Software\\Torvex\\Main", "notificationpath", "b"));
  EXPECT_EQ(s.valueNames("\\Software\\Torvex\\Main"), Names{"NotificationPath"});
  EXPECT_EQ(s.readString("\\software\\torvex\\main", "NOTIFICATIONPATH").value, "b");
  EXPECT_EQ(s.subKeyNames("\\Software"), Names{"Torvex"});
  ASSERT_TRUE(s.openKey("\\K\\Ärger"));  // folding beyond ASCII
  EXPECT_TRUE(s.keyExists("\\K\\äRGER"));
  for (const char* n : {"b", "10 x", "A", "2 y", "_u", "C"}) ASSERT_TRUE(s.openKey(std::string("\\L\\") + n));
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
  EXPECT_EQ(s.readInteger("\\K", "d").value, -1);
  EXPECT_TRUE(s.readBool("\\K", "d").value);
  EXPECT_EQ(s.readDword("\\K", "missing").status, ReadStatus::Absent);
  EXPECT_EQ(s.readString("\\Missing", "s").status, ReadStatus::Absent);
  for (const char* name : {"s", "short"}) EXPECT_EQ(s.readDword("\\K", name).status, ReadStatus::WrongType) << name;
  for (const char* name : {"d", "x"}) EXPECT_EQ(s.readString("\\K", name).status, ReadStatus::WrongType) << name;
  EXPECT_EQ(s.getValue("\\K", "s")->data, std::string("\xF2\x00\xAC\x20\x3D\xD8\x00\xDE\x00\x00", 10));
  EXPECT_EQ(s.readString("\\K", "s").value, "ò€😀");
  EXPECT_EQ(s.readString("\\K", "n").value, "a");  // up to the first NUL
  s.writeDword("\\A\\B\\C", "v", 1);
  s.openKey("\\A\\D");
  EXPECT_TRUE(s.deleteKey("\\a\\b"));
  EXPECT_FALSE(s.keyExists("\\A\\B\\C"));
  EXPECT_TRUE(s.keyExists("\\A\\D"));
  EXPECT_FALSE(s.deleteKey("\\A\\B"));
  for (std::string_view bad : {"\\A\\\\B"sv, "\\A\\"sv, "\\A\rB"sv, "\\A\0B"sv}) {
    EXPECT_FALSE(s.openKey(bad)) << bad;
    EXPECT_FALSE(s.writeDword(bad, "v", 1)) << bad;
  }
  EXPECT_FALSE(s.writeDword("\\A", "two\nlines", 1));
  EXPECT_FALSE(s.transact([](RegistryStore& t) { t.writeDword("\\A\\D", "v", 2), t.deleteKey("\\A"); return false; }));
  EXPECT_TRUE(s.keyExists("\\A\\D") && !s.getValue("\\A\\D", "v"));
  EXPECT_TRUE(s.transact([](RegistryStore& t) { return t.writeDword("\\A\\D", "v", 3); }));
  EXPECT_EQ(s.readDword("\\A\\D", "v").value, 3u);
}

}  // namespace
}  // namespace brivane
