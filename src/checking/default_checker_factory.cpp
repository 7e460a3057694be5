#include "checking/check_cycle.h"
#include "checking/imap_checker.h"
#include "checking/pop_checker.h"

namespace brivane {

namespace {

class DefaultCheckerFactory : public CheckerFactory {
 public:
  std::unique_ptr<CheckerThread> createImapChecker(CheckCycle& cycle) override {
    return std::make_unique<TIMAPChecker>(cycle);
  }
  std::unique_ptr<CheckerThread> createPopChecker(CheckCycle& cycle) override {
    return std::make_unique<TPOPChecker>(cycle);
  }
};

}  // namespace

std::unique_ptr<CheckerFactory> makeDefaultCheckerFactory() { return std::make_unique<DefaultCheckerFactory>(); }

}  // namespace brivane
