#include "platform/registry_store.h"

#include <algorithm>

#include "common/text.h"
#include "platform/utf16.h"

namespace brivane {

namespace {

char32_t upperCodePoint(char32_t c) {
  if (c >= 'a' && c <= 'z') return c - 32;
  if (c < 0x80) return c;
  if ((c >= 0xE0 && c <= 0xFE && c != 0xF7)) return c - 32;
  if (c == 0xFF) return 0x178;
  if (c >= 0x100 && c <= 0x17F) {
    // Latin Extended-A: upper/lower pairs, even/odd except in two runs that pair odd/even.
    if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) return (c % 2 == 0) ? c - 1 : c;
    if (c == 0x131 || c == 0x138 || c == 0x149 || c == 0x17F) return c;
    return (c % 2 == 1) ? c - 1 : c;
  }
  if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) return c - 32;
  if (c >= 0x430 && c <= 0x44F) return c - 32;
  if (c >= 0x450 && c <= 0x45F) return c - 80;
  return c;
}

// The next character of a name, folded to upper case; a byte that begins no
// valid UTF-8 sequence stands for itself above every code point.
char32_t nextFolded(std::string_view s, size_t& i) {
  const auto c = static_cast<unsigned char>(s[i]);
  if (c < 0x80) {
    ++i;
    return (c >= 'a' && c <= 'z') ? c - 32 : c;
  }
  size_t n = 0;
  const char32_t cp = decodeUtf8(s.substr(i), n);
  if (n == 0) {
    ++i;
    return 0x200000 + c;
  }
  i += n;
  return upperCodePoint(cp);
}

bool sameName(std::string_view a, std::string_view b) { return compareRegistryNames(a, b) == 0; }

}  // namespace

int compareRegistryNames(std::string_view a, std::string_view b) {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    const char32_t x = nextFolded(a, i), y = nextFolded(b, j);
    if (x != y) return x < y ? -1 : 1;
  }
  if (i < a.size()) return 1;
  if (j < b.size()) return -1;
  return 0;
}

bool registryNameLess(std::string_view a, std::string_view b) { return compareRegistryNames(a, b) < 0; }

bool isValidKeyName(std::string_view name) {
  return !name.empty() && name.find_first_of(std::string_view("\\\r\n\0", 4)) == std::string_view::npos;
}

std::optional<std::vector<std::string>> splitKeyPath(std::string_view path) {
  std::vector<std::string> parts;
  size_t pos = 0;
  if (!path.empty() && path.front() == '\\') pos = 1;
  while (pos < path.size()) {
    size_t end = path.find('\\', pos);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view part = path.substr(pos, end - pos);
    if (!isValidKeyName(part)) return std::nullopt;
    parts.emplace_back(part);
    if (parts.size() > kMaxKeyDepth) return std::nullopt;
    pos = end + 1;
    if (end + 1 == path.size()) return std::nullopt;  // trailing "\"
  }
  return parts;
}

// ---- RegValue and typed access ----

RegValue RegValue::dword(uint32_t v) {
  RegValue r;
  r.type = kRegDword;
  for (int k = 0; k < 4; ++k) r.data.push_back(static_cast<char>((v >> (8 * k)) & 0xFF));
  return r;
}

RegValue RegValue::string(std::string_view utf8) {
  RegValue r;
  r.type = kRegSz;
  r.data = utf8ToUtf16Le(utf8);
  r.data.append(2, '\0');
  return r;
}

ValueRead<uint32_t> RegistryStore::readDword(std::string_view path, std::string_view name) const {
  ValueRead<uint32_t> r;
  const auto v = getValue(path, name);
  if (!v) return r;
  if (v->type != kRegDword || v->data.size() != 4) {
    r.status = ReadStatus::WrongType;
    return r;
  }
  for (int k = 0; k < 4; ++k) r.value |= static_cast<uint32_t>(static_cast<unsigned char>(v->data[k])) << (8 * k);
  r.status = ReadStatus::Ok;
  return r;
}

ValueRead<int32_t> RegistryStore::readInteger(std::string_view path, std::string_view name) const {
  const auto d = readDword(path, name);
  return {d.status, static_cast<int32_t>(d.value)};
}

ValueRead<bool> RegistryStore::readBool(std::string_view path, std::string_view name) const {
  const auto d = readDword(path, name);
  return {d.status, d.value != 0};
}

ValueRead<std::string> RegistryStore::readString(std::string_view path, std::string_view name) const {
  ValueRead<std::string> r;
  const auto v = getValue(path, name);
  if (!v) return r;
  if (v->type != kRegSz) {
    r.status = ReadStatus::WrongType;
    return r;
  }
  r.value = utf16LeToUtf8(v->data, true);
  r.status = ReadStatus::Ok;
  return r;
}

bool RegistryStore::writeDword(std::string_view path, std::string_view name, uint32_t v) {
  return setValue(path, name, RegValue::dword(v));
}
bool RegistryStore::writeInteger(std::string_view path, std::string_view name, int32_t v) {
  return setValue(path, name, RegValue::dword(static_cast<uint32_t>(v)));
}
bool RegistryStore::writeBool(std::string_view path, std::string_view name, bool v) {
  return setValue(path, name, RegValue::dword(v ? 1 : 0));
}
bool RegistryStore::writeString(std::string_view path, std::string_view name, std::string_view utf8) {
  return setValue(path, name, RegValue::string(utf8));
}

// ---- RegNode ----

RegNode* RegNode::child(std::string_view childName) {
  return const_cast<RegNode*>(static_cast<const RegNode*>(this)->child(childName));
}

const RegNode* RegNode::child(std::string_view childName) const {
  auto it = std::lower_bound(children.begin(), children.end(), childName,
                             [](const RegNode& n, std::string_view k) { return registryNameLess(n.name, k); });
  if (it != children.end() && sameName(it->name, childName)) return &*it;
  return nullptr;
}

RegNode& RegNode::childOrCreate(std::string_view childName) {
  auto it = std::lower_bound(children.begin(), children.end(), childName,
                             [](const RegNode& n, std::string_view k) { return registryNameLess(n.name, k); });
  if (it != children.end() && sameName(it->name, childName)) return *it;
  RegNode n;
  n.name = std::string(childName);
  return *children.insert(it, std::move(n));
}

bool RegNode::removeChild(std::string_view childName) {
  for (auto it = children.begin(); it != children.end(); ++it) {
    if (sameName(it->name, childName)) {
      children.erase(it);
      return true;
    }
  }
  return false;
}

RegValue* RegNode::value(std::string_view valueName) {
  for (auto& [n, v] : values)
    if (sameName(n, valueName)) return &v;
  return nullptr;
}

const RegValue* RegNode::value(std::string_view valueName) const {
  for (const auto& [n, v] : values)
    if (sameName(n, valueName)) return &v;
  return nullptr;
}

void RegNode::setValue(std::string_view valueName, const RegValue& v) {
  if (RegValue* existing = value(valueName)) {
    *existing = v;
    return;
  }
  values.emplace_back(std::string(valueName), v);
}

// ---- MemoryRegistryStore ----

const RegNode* MemoryRegistryStore::find(std::string_view path) const {
  const auto parts = splitKeyPath(path);
  if (!parts) return nullptr;
  const RegNode* node = root_.child(kCurrentUserHive);
  for (const auto& p : *parts) {
    if (!node) return nullptr;
    node = node->child(p);
  }
  return node;
}

RegNode* MemoryRegistryStore::find(std::string_view path) {
  return const_cast<RegNode*>(static_cast<const MemoryRegistryStore*>(this)->find(path));
}

RegNode* MemoryRegistryStore::create(std::string_view path) {
  const auto parts = splitKeyPath(path);
  if (!parts) return nullptr;
  RegNode* node = &root_.childOrCreate(kCurrentUserHive);
  for (const auto& p : *parts) node = &node->childOrCreate(p);
  return node;
}

bool MemoryRegistryStore::openKey(std::string_view path) {
  RegNode* node = create(path);
  if (!node) return false;
  node->listed = true;
  return true;
}

bool MemoryRegistryStore::keyExists(std::string_view path) const { return find(path) != nullptr; }

std::vector<std::string> MemoryRegistryStore::subKeyNames(std::string_view path) const {
  std::vector<std::string> names;
  if (const RegNode* node = find(path))
    for (const auto& c : node->children) names.push_back(c.name);
  return names;
}

std::vector<std::string> MemoryRegistryStore::valueNames(std::string_view path) const {
  std::vector<std::string> names;
  if (const RegNode* node = find(path))
    for (const auto& [n, v] : node->values) names.push_back(n);
  return names;
}

std::optional<RegValue> MemoryRegistryStore::getValue(std::string_view path, std::string_view name) const {
  const RegNode* node = find(path);
  if (!node) return std::nullopt;
  if (const RegValue* v = node->value(name)) return *v;
  return std::nullopt;
}

bool MemoryRegistryStore::setValue(std::string_view path, std::string_view name, const RegValue& value) {
  // A store file keeps each value on its own line.
  if (name.find('\n') != std::string_view::npos) return false;
  RegNode* node = create(path);
  if (!node) return false;
  node->listed = true;
  node->setValue(name, value);
  return true;
}

bool MemoryRegistryStore::deleteValue(std::string_view path, std::string_view name) {
  RegNode* node = find(path);
  if (!node) return false;
  for (auto it = node->values.begin(); it != node->values.end(); ++it) {
    if (sameName(it->first, name)) {
      const auto index = static_cast<size_t>(it - node->values.begin());
      node->values.erase(it);
      for (auto& l : node->extraLines)
        if (l.place > index) --l.place;  // keep the lines where they stood
      return true;
    }
  }
  return false;
}

bool MemoryRegistryStore::deleteKey(std::string_view path) {
  const auto parts = splitKeyPath(path);
  if (!parts || parts->empty()) return false;
  RegNode* parent = root_.child(kCurrentUserHive);
  for (size_t k = 0; parent && k + 1 < parts->size(); ++k) parent = parent->child((*parts)[k]);
  return parent && parent->removeChild(parts->back());
}

bool MemoryRegistryStore::transact(const std::function<bool(RegistryStore&)>& apply) {
  MemoryRegistryStore work;
  work.root_ = root_;
  if (!apply(work)) return false;
  root_ = std::move(work.root_);
  return true;
}

}  // namespace brivane
