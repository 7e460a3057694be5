#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The settings store with the semantics of the user's registry hive: keys
// form a tree, are opened with creation allowed, and key and value names are
// compared without regard to case; sub-keys are enumerated in alphabetical
// order (case-insensitive); values are typed. Key paths are relative to
// HKEY_CURRENT_USER, components separated by "\" (a leading "\" is allowed).
namespace brivane {

// Registry value types.
inline constexpr uint32_t kRegNone = 0;
inline constexpr uint32_t kRegSz = 1;
inline constexpr uint32_t kRegExpandSz = 2;
inline constexpr uint32_t kRegBinary = 3;
inline constexpr uint32_t kRegDword = 4;
inline constexpr uint32_t kRegMultiSz = 7;

// A value as the registry holds it: its type and its data bytes. REG_SZ data
// is UTF-16LE with a terminating NUL, REG_DWORD four bytes little-endian;
// every other type is kept as the bytes it came with.
struct RegValue {
  uint32_t type = kRegNone;
  std::string data;

  static RegValue dword(uint32_t v);
  static RegValue string(std::string_view utf8);
  friend bool operator==(const RegValue&, const RegValue&) = default;
};

// The result of a typed read.
enum class ReadStatus { Ok, Absent, WrongType };
template <class T>
struct ValueRead {
  ReadStatus status = ReadStatus::Absent;
  T value{};
  bool ok() const { return status == ReadStatus::Ok; }
};

// Case-insensitive order of names, the order of sub-key enumeration: letters
// compare by their upper-case form (ASCII, Latin-1, Latin Extended-A, Greek
// and Cyrillic; other characters as they are); compareRegistryNames gives
// -1, 0 or 1.
int compareRegistryNames(std::string_view a, std::string_view b);
bool registryNameLess(std::string_view a, std::string_view b);

// Deepest key path accepted (the registry's own limit).
inline constexpr size_t kMaxKeyDepth = 512;

// A key name is valid when it is non-empty and holds no "\", NUL, CR or LF.
bool isValidKeyName(std::string_view name);

class RegistryStore {
 public:
  virtual ~RegistryStore() = default;

  // Opens the key, creating it and its missing parents. False when the path
  // is not valid.
  virtual bool openKey(std::string_view path) = 0;
  virtual bool keyExists(std::string_view path) const = 0;
  // Names of the direct sub-keys, in enumeration order; empty when the key is missing.
  virtual std::vector<std::string> subKeyNames(std::string_view path) const = 0;
  // Names of the key's values in the order they are held.
  virtual std::vector<std::string> valueNames(std::string_view path) const = 0;
  virtual std::optional<RegValue> getValue(std::string_view path, std::string_view name) const = 0;
  // Writes a value; the key is created when missing. False when the path is
  // not valid or the name holds a line feed.
  virtual bool setValue(std::string_view path, std::string_view name, const RegValue& value) = 0;
  // True when the value existed.
  virtual bool deleteValue(std::string_view path, std::string_view name) = 0;
  // Deletes the key with all its sub-keys and values; true when it existed.
  virtual bool deleteKey(std::string_view path) = 0;

  // Applies a group of changes as one: `apply` runs against the current
  // content and, when it returns true, everything it changed is kept (and,
  // for a persistent store, made durable); when it returns false or the
  // commit fails, nothing of it is kept. Returns whether it was kept.
  virtual bool transact(const std::function<bool(RegistryStore&)>& apply) = 0;

  // Typed access. A value of another type (or a REG_DWORD whose data is not
  // four bytes) reads as WrongType.
  ValueRead<uint32_t> readDword(std::string_view path, std::string_view name) const;
  ValueRead<int32_t> readInteger(std::string_view path, std::string_view name) const;
  ValueRead<bool> readBool(std::string_view path, std::string_view name) const;  // non-zero is true
  // REG_SZ as UTF-8, up to its first NUL.
  ValueRead<std::string> readString(std::string_view path, std::string_view name) const;
  bool writeDword(std::string_view path, std::string_view name, uint32_t v);
  bool writeInteger(std::string_view path, std::string_view name, int32_t v);
  bool writeBool(std::string_view path, std::string_view name, bool v);  // 0 or 1
  bool writeString(std::string_view path, std::string_view name, std::string_view utf8);
};

// A line of a store file this program does not understand, kept verbatim
// with its place among the key's values (the number of values before it).
struct RawLine {
  size_t place = 0;
  std::string text;
  // The line came straight after another kept line of the same key in the
  // file (blank lines between them aside). Kept lines that stood apart are
  // never written next to each other, so that an unclosed quote on one can
  // never join the next into a value that the file did not hold.
  bool followsKept = false;
  friend bool operator==(const RawLine&, const RawLine&) = default;
};

// One key of the tree. The file backend reads and writes it whole.
struct RegNode {
  std::string name;
  // Written as a section of its own even without values (it was created
  // explicitly or appeared in a file); parents created on the way are not.
  bool listed = false;
  std::vector<std::pair<std::string, RegValue>> values;  // in the order held
  // Lines of a store file this program does not understand.
  std::vector<RawLine> extraLines;
  std::vector<RegNode> children;  // kept in enumeration order

  RegNode* child(std::string_view childName);
  const RegNode* child(std::string_view childName) const;
  RegNode& childOrCreate(std::string_view childName);
  bool removeChild(std::string_view childName);
  RegValue* value(std::string_view valueName);
  const RegValue* value(std::string_view valueName) const;
  void setValue(std::string_view valueName, const RegValue& v);
};

// The name of the hive every path of RegistryStore is relative to.
inline constexpr std::string_view kCurrentUserHive = "HKEY_CURRENT_USER";

// Splits a key path into its components; nothing when a component is not valid.
std::optional<std::vector<std::string>> splitKeyPath(std::string_view path);

// The in-memory backend: the whole tree; root() holds one child per hive.
class MemoryRegistryStore : public RegistryStore {
 public:
  MemoryRegistryStore() = default;

  bool openKey(std::string_view path) override;
  bool keyExists(std::string_view path) const override;
  std::vector<std::string> subKeyNames(std::string_view path) const override;
  std::vector<std::string> valueNames(std::string_view path) const override;
  std::optional<RegValue> getValue(std::string_view path, std::string_view name) const override;
  bool setValue(std::string_view path, std::string_view name, const RegValue& value) override;
  bool deleteValue(std::string_view path, std::string_view name) override;
  bool deleteKey(std::string_view path) override;
  bool transact(const std::function<bool(RegistryStore&)>& apply) override;

  RegNode& root() { return root_; }
  const RegNode& root() const { return root_; }

 private:
  const RegNode* find(std::string_view path) const;
  RegNode* find(std::string_view path);
  RegNode* create(std::string_view path);

  RegNode root_;
};

}  // namespace brivane
