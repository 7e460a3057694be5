#include "checking/check_cycle.h"

namespace brivane {

std::unique_ptr<CheckerFactory> makeDefaultCheckerFactory() { return nullptr; }

}  // namespace brivane
