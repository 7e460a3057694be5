#pragma once
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "platform/registry_format.h"
#include "platform/registry_store.h"

// The store kept as a file in the registry export syntax (the format itself
// is in registry_format.h): loaded once into memory, and written only by a
// commit under a lock through a temporary file that is synced and renamed.
namespace brivane {

// The file backend: reads the file into memory once (load) and serves every
// read and write from that copy. Changes reach the file only through
// transact(), which commits them atomically under a lock.
class FileRegistryStore : public RegistryStore {
 public:
  // Steps of a commit at which a test may make it fail.
  enum class CommitStep { TempWritten, BeforeRename };

  explicit FileRegistryStore(std::string path);

  // Where the program keeps its store: $BRIVANE_STORE, else
  // $XDG_CONFIG_HOME/torvex/Brivane/brivane.reg (default ~/.config).
  static std::string defaultPath();

  // Reads the file. When there is none, creates it (and its folder, 0700)
  // holding `initialKeys` as empty keys; an existing file is never written.
  // False when the file exists but cannot be read, is not a regular file
  // (a FIFO or device is never waited on), is not a store file or is beyond
  // the limits, or when creating it failed; the content is then empty
  // (nothing of a refused file is kept) and transact() refuses to overwrite a
  // file it could not read.
  bool load(const std::vector<std::string>& initialKeys = {});

  const std::string& path() const { return path_; }
  const std::string& lastError() const { return error_; }

  // Commit: take the exclusive lock on "<file>.lock", read the file afresh,
  // run `apply` on that content (a result that load() would refuse, beyond
  // the limits above, fails the commit), write a temporary file (mode 0600), fsync
  // it, rename it over the file and fsync the folder. When the file is a
  // link, its target is replaced (the temporary file beside it) and the link
  // stays. The folders written into must be this user's and not writable by
  // group or others (see openUserFolder). Any failure leaves the file as it
  // was and this store's content unchanged.
  bool transact(const std::function<bool(RegistryStore&)>& apply) override;

  // Test hook: called at each commit step; returning false fails the commit there.
  void setCommitHook(std::function<bool(CommitStep)> hook) { hook_ = std::move(hook); }
  // How long a commit waits for another process's commit (default 5 s).
  void setLockTimeout(std::chrono::milliseconds t) { lockTimeout_ = t; }

  bool openKey(std::string_view path) override { return mem_.openKey(path); }
  bool keyExists(std::string_view path) const override { return mem_.keyExists(path); }
  std::vector<std::string> subKeyNames(std::string_view path) const override { return mem_.subKeyNames(path); }
  std::vector<std::string> valueNames(std::string_view path) const override { return mem_.valueNames(path); }
  std::optional<RegValue> getValue(std::string_view path, std::string_view name) const override {
    return mem_.getValue(path, name);
  }
  bool setValue(std::string_view path, std::string_view name, const RegValue& value) override {
    return mem_.setValue(path, name, value);
  }
  bool deleteValue(std::string_view path, std::string_view name) override { return mem_.deleteValue(path, name); }
  bool deleteKey(std::string_view path) override { return mem_.deleteKey(path); }

 private:
  enum class ReadResult { Ok, Missing, Failed };
  ReadResult readFile(RegNode& root);
  bool writeFile(const RegNode& root, const std::string& target);
  bool commit(const std::function<bool(MemoryRegistryStore&)>& apply, bool onlyWhenMissing);

  std::string path_;
  std::string error_;
  MemoryRegistryStore mem_;
  std::function<bool(CommitStep)> hook_;
  std::chrono::milliseconds lockTimeout_{5000};
};

}  // namespace brivane
