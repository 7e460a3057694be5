#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The programs that asked the screen to stay on (a video player, a
// presentation), each by a call over the session bus that returned a cookie.
// The list is the bookkeeping only: the caller is the bus's unique name of the
// connection that asked (":1.42"), given by the bus, so a caller can end only
// its own requests and all of them end when it leaves the bus. Every call
// comes from outside: the number of entries is bounded per caller and in
// total, and the application name and reason are kept as escaped text of
// bounded length, fit for a log line. Not thread-safe; one owner.
namespace brivane {

struct Inhibitor {
  uint32_t cookie = 0;
  std::string caller;       // the bus's unique name of the connection that asked
  std::string application;  // escaped, at most kInhibitTextChars characters before escaping
  std::string reason;       // the same
};

// Characters kept of an application name or a reason; longer text is cut
// and ends in "...".
inline constexpr size_t kInhibitTextChars = 100;

// Untrusted text made fit for a log line: invalid UTF-8 read as
// Windows-1252, cut to kInhibitTextChars characters, control characters
// escaped (escapeControl).
std::string inhibitText(std::string_view text);

class InhibitList {
 public:
  static constexpr size_t kPerCallerLimit = 64;
  static constexpr size_t kTotalLimit = 1024;

  enum class AddResult { Added, CallerLimit, TotalLimit };
  struct Added {
    AddResult result = AddResult::Added;
    uint32_t cookie = 0;  // never 0 when added
  };
  // Records a request. The cookie is never 0 and never one that is still
  // held; cookies go up by one, wrapping round after 2^32 - 1.
  Added add(std::string_view caller, std::string_view application, std::string_view reason);

  enum class RemoveResult { Removed, Unknown, OtherCaller };
  // Ends a request, only when `caller` is the one that made it: another
  // caller's cookie is left as it is.
  RemoveResult remove(std::string_view caller, uint32_t cookie);

  // Forgets every request of a caller that left the bus; the number removed.
  size_t removeCaller(std::string_view caller);
  void clear() { entries_.clear(); }

  bool empty() const { return entries_.empty(); }
  size_t size() const { return entries_.size(); }
  size_t countOf(std::string_view caller) const;
  const Inhibitor* find(uint32_t cookie) const;
  // In the order they were added.
  const std::vector<Inhibitor>& entries() const { return entries_; }

  // For tests: the cookie the next add() tries first.
  void setNextCookie(uint32_t cookie) { next_ = cookie; }

 private:
  std::vector<Inhibitor> entries_;
  uint32_t next_ = 1;
};

}  // namespace brivane
