#pragma once
#include <cstdint>

namespace brivane {

// Where worker threads post their private messages (the window that owns
// them). The UI implements it with a posted Qt event, tests with a queue.
// post() may be called from any thread and must not block for long.
class MessageTarget {
 public:
  virtual ~MessageTarget() = default;
  virtual void post(uint32_t message, uintptr_t wParam) = 0;
};

}  // namespace brivane
