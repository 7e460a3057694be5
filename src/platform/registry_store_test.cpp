#include "platform/registry_store.h"

#include <gtest/gtest.h>

namespace brivane {
namespace {

TEST(RegistryStore, NamesAreCaseInsensitiveAndKeepTheirFirstSpelling) {
  MemoryRegistryStore s;
  ASSERT_TRUE(s.openKey("\\Software\\Torvex\\Main"));
  EXPECT_TRUE(s.keyExists("software\\TORVEX\\main"));
  ASSERT_TRUE(s.writeString("\\SOFTWARE\\torvex\\MAIN", "NotificationPath", "a"));
  ASSERT_TRUE(s.writeString("\\Software\\Torvex\\Main", "notificationpath", "b"));
  EXPECT_EQ(s.valueNames("\\Software\\Torvex\\Main"), std::vector<std::string>{"NotificationPath"});
  EXPECT_EQ(s.readString("\\software\\torvex\\main", "NOTIFICATIONPATH").value, "b");
  EXPECT_EQ(s.subKeyNames("\\Software"), std::vector<std::string>{"Torvex"});
  // Case folding beyond ASCII.
  ASSERT_TRUE(s.openKey("\\K\\Ärger"));
  EXPECT_TRUE(s.keyExists("\\K\\äRGER"));
}

TEST(RegistryStore, SubKeysEnumerateAlphabeticallyWithoutRegardToCase) {
  MemoryRegistryStore s;
  for (const char* n : {"b", "10 x", "A", "2 y", "_u", "C"}) ASSERT_TRUE(s.openKey(std::string("\\K\\") + n));
  // Compared in upper case, as the registry does: "_" sorts after the letters.
  EXPECT_EQ(s.subKeyNames("\\K"), (std::vector<std::string>{"10 x", "2 y", "A", "b", "C", "_u"}));
}

TEST(RegistryStore, TypedReadsTellAbsentFromWrongType) {
  MemoryRegistryStore s;
  s.writeDword("\\K", "d", 0xFFFFFFFF);
  s.writeString("\\K", "s", "text");
  s.setValue("\\K", "x", RegValue{kRegExpandSz, std::string("a\0\0\0", 4)});
  s.setValue("\\K", "short", RegValue{kRegDword, std::string("\1\0", 2)});
  EXPECT_EQ(s.readInteger("\\K", "d").value, -1);
  EXPECT_TRUE(s.readBool("\\K", "d").value);
  EXPECT_EQ(s.readDword("\\K", "missing").status, ReadStatus::Absent);
  EXPECT_EQ(s.readString("\\Missing", "s").status, ReadStatus::Absent);
  for (const char* name : {"s", "short"}) EXPECT_EQ(s.readDword("\\K", name).status, ReadStatus::WrongType) << name;
  for (const char* name : {"d", "x"}) EXPECT_EQ(s.readString("\\K", name).status, ReadStatus::WrongType) << name;
}

TEST(RegistryStore, StringsAreUtf16WithTerminatorAndReadUpToNul) {
  MemoryRegistryStore s;
  s.writeString("\\K", "s", "ò€😀");
  EXPECT_EQ(s.getValue("\\K", "s")->data, std::string("\xF2\x00\xAC\x20\x3D\xD8\x00\xDE\x00\x00", 10));
  EXPECT_EQ(s.readString("\\K", "s").value, "ò€😀");
  s.setValue("\\K", "n", RegValue{kRegSz, std::string("a\0\0\0b\0\0\0", 8)});
  EXPECT_EQ(s.readString("\\K", "n").value, "a");
}

TEST(RegistryStore, DeleteKeyIsRecursiveAndInvalidPathsFail) {
  MemoryRegistryStore s;
  s.writeDword("\\A\\B\\C", "v", 1);
  s.openKey("\\A\\D");
  EXPECT_TRUE(s.deleteKey("\\a\\b"));
  EXPECT_FALSE(s.keyExists("\\A\\B\\C"));
  EXPECT_TRUE(s.keyExists("\\A\\D"));
  EXPECT_FALSE(s.deleteKey("\\A\\B"));
  for (const char* bad : {"\\A\\\\B", "\\A\\", "\\A\rB"}) {
    EXPECT_FALSE(s.openKey(bad)) << bad;
    EXPECT_FALSE(s.writeDword(bad, "v", 1)) << bad;
  }
  EXPECT_FALSE(s.openKey(std::string_view("\\A\0B", 4)));
  EXPECT_FALSE(s.writeDword("\\A", "two\nlines", 1));
}

TEST(RegistryStore, TransactKeepsAllOrNothing) {
  MemoryRegistryStore s;
  s.writeDword("\\K", "v", 1);
  EXPECT_FALSE(s.transact([](RegistryStore& t) {
    t.writeDword("\\K", "v", 2);
    t.deleteKey("\\K");
    return false;
  }));
  EXPECT_EQ(s.readDword("\\K", "v").value, 1u);
  EXPECT_TRUE(s.transact([](RegistryStore& t) { return t.writeDword("\\K", "v", 3); }));
  EXPECT_EQ(s.readDword("\\K", "v").value, 3u);
}

}  // namespace
}  // namespace brivane
