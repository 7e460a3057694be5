#include "platform/inhibit_list.h"

#include <algorithm>

#include "common/text.h"

namespace brivane {
namespace {

template <class Entries>
auto findCookie(Entries& entries, uint32_t cookie) {
  return std::find_if(entries.begin(), entries.end(), [&](const Inhibitor& e) { return e.cookie == cookie; });
}

}  // namespace

std::string inhibitText(std::string_view text) {
  const std::string utf8 = bytesToUtf8(text);
  if (utf8Length(utf8) <= kInhibitTextChars) return escapeControl(utf8);
  return escapeControl(utf8Cut(utf8, kInhibitTextChars)) + "...";
}

InhibitList::Added InhibitList::add(std::string_view caller, std::string_view application, std::string_view reason) {
  if (entries_.size() >= kTotalLimit) return {AddResult::TotalLimit, 0};
  if (countOf(caller) >= kPerCallerLimit) return {AddResult::CallerLimit, 0};
  // At most kTotalLimit cookies are held, so this skips at most that many.
  while (next_ == 0 || find(next_)) ++next_;
  const uint32_t cookie = next_++;
  entries_.push_back({cookie, std::string(caller), inhibitText(application), inhibitText(reason)});
  return {AddResult::Added, cookie};
}

InhibitList::RemoveResult InhibitList::remove(std::string_view caller, uint32_t cookie) {
  const auto it = findCookie(entries_, cookie);
  if (it == entries_.end()) return RemoveResult::Unknown;
  if (it->caller != caller) return RemoveResult::OtherCaller;
  entries_.erase(it);
  return RemoveResult::Removed;
}

size_t InhibitList::removeCaller(std::string_view caller) {
  return std::erase_if(entries_, [&](const Inhibitor& e) { return e.caller == caller; });
}

size_t InhibitList::countOf(std::string_view caller) const {
  return std::count_if(entries_.begin(), entries_.end(), [&](const Inhibitor& e) { return e.caller == caller; });
}

const Inhibitor* InhibitList::find(uint32_t cookie) const {
  const auto it = findCookie(entries_, cookie);
  return it == entries_.end() ? nullptr : &*it;
}

}  // namespace brivane
