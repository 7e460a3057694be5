#include "protocols/byte_stream.h"

#include <algorithm>
#include <cstring>

#include "protocols/protocol_errors.h"

namespace brivane {

const Clock& Clock::steady() {
  struct Steady : Clock {
    TimePoint now() const override { return std::chrono::steady_clock::now(); }
  };
  static const Steady clock;
  return clock;
}

size_t MemoryStream::read(char* buf, size_t cap, int timeoutMs) {
  if (!open_) throw ConnectionClosedError();
  while (!chunks_.empty() && chunks_.front().empty()) chunks_.pop_front();
  if (chunks_.empty()) {
    if (closeAtEnd_) throw ConnectionClosedError();
    if (clock_ && timeoutMs > 0) clock_->advance(std::chrono::milliseconds(timeoutMs));
    return 0;
  }
  std::string& front = chunks_.front();
  size_t n = std::min(cap, front.size());
  std::memcpy(buf, front.data(), n);
  front.erase(0, n);
  if (front.empty()) chunks_.pop_front();
  return n;
}

void MemoryStream::write(std::string_view data) {
  if (!open_) throw ConnectionClosedError();
  written_.append(data);
}

bool MemoryStream::readableWithin(int timeoutMs) {
  for (const auto& c : chunks_)
    if (!c.empty()) return true;
  if (clock_ && timeoutMs > 0) clock_->advance(std::chrono::milliseconds(timeoutMs));
  return false;
}

}  // namespace brivane
