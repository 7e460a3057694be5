#include "checking/check_cycle.h"

#include "common/log_directory.h"
#include "common/messages.h"
#include "protocols/message_preview.h"

namespace brivane {

CheckCycle::CheckCycle(MessageTarget& target, std::unique_ptr<CheckerFactory> factory)
    : logDirectory([](std::string& dir) { return GetLogDirectory(dir); }),
      target_(target),
      factory_(factory ? std::move(factory) : makeDefaultCheckerFactory()) {}

CheckCycle::~CheckCycle() {
  requestStopAll();
  for (auto* slots : {&imapCheckers, &popCheckers})
    for (auto& checker : *slots)
      if (checker) checker->join();
}

size_t CheckCycle::liveCheckers() const {
  size_t n = 0;
  for (const auto* slots : {&imapCheckers, &popCheckers})
    for (const auto& checker : *slots)
      if (checker) ++n;
  return n;
}

bool CheckCycle::StartCheckCycle() {
  if (liveCheckers() > 0) return false;
  if (displayMsgPreview) ensureGMime();  // before any checker thread reads a preview
  newMailArrived.store(0);
  hasMessages.store(0);
  imapCheckers.clear();
  popCheckers.clear();
  for (size_t i = 0; i < Accounts.size(); ++i) {
    const TEmlAccount& source = Accounts[i];
    auto& slots = source.isPOP ? popCheckers : imapCheckers;
    std::unique_ptr<CheckerThread> checker =
        source.isPOP ? factory_->createPopChecker(*this) : factory_->createImapChecker(*this);
    checker->accountIndex = static_cast<int32_t>(i);
    checker->slotIndex = static_cast<int32_t>(slots.size());
    checker->fetchLevel = fetchForPanel ? source.panelPrivacy : PanelPrivacy::Everything;
    checker->showPreview = displayMsgPreview && checker->fetchLevel == PanelPrivacy::Everything;
    TEmlAccount& copy = checker->account;
    copy.name = source.name;
    copy.username = source.username;
    copy.password = source.password;
    copy.server = source.server;
    copy.port = source.port;
    copy.useTLS = source.useTLS;
    copy.encryption = source.encryption;
    copy.trustedCertificate = source.trustedCertificate;
    copy.signIn = source.signIn;
    copy.secretCommand = source.secretCommand;
    copy.panelPrivacy = source.panelPrivacy;
    copy.isPOP = source.isPOP;
    copy.hasMessages = source.hasMessages;
    if (source.isPOP)
      copy.lastMessageCount = source.lastMessageCount;
    else
      copy.folders = source.folders;
    slots.push_back(std::move(checker));
    slots.back()->start();
  }
  return true;
}

CheckerThread* CheckCycle::checkerAt(uint32_t message, uintptr_t wParam) const {
  const auto* slots = message == WM_IMAPCHECKDONE  ? &imapCheckers
                      : message == WM_POPCHECKDONE ? &popCheckers
                                                   : nullptr;
  if (!slots || wParam >= slots->size()) return nullptr;
  return (*slots)[wParam].get();
}

void CheckCycle::onDone(uint32_t message, uintptr_t wParam) {
  if (closing.load()) return;
  CheckerThread* checker = checkerAt(message, wParam);
  if (!checker) return;
  // Join first: the thread touches its account copy up to its last step.
  checker->join();
  const auto index = static_cast<size_t>(checker->accountIndex);
  if (index < Accounts.size()) {
    Accounts[index].hasMessages = checker->account.hasMessages;
    if (message == WM_POPCHECKDONE) Accounts[index].lastMessageCount = checker->account.lastMessageCount;
  }
  auto& slots = message == WM_IMAPCHECKDONE ? imapCheckers : popCheckers;
  slots[wParam].reset();
  firstCycle = false;
  const bool last = liveCheckers() == 0;
  if (EndOfCycle) EndOfCycle(last);
}

void CheckCycle::requestStopAll() {
  for (auto* slots : {&imapCheckers, &popCheckers})
    for (auto& checker : *slots)
      if (checker) checker->requestStop();
}

bool CheckCycle::waitAll(Clock::time_point deadline) {
  bool all = true;
  for (auto* slots : {&imapCheckers, &popCheckers})
    for (auto& checker : *slots)
      if (checker && !checker->waitFor(deadline)) all = false;
  return all;
}

}  // namespace brivane
