#include "config_ui/keyring_calls.h"

#include <QApplication>
#include <QEventLoop>
#include <QThread>

namespace brivane {

KeyringEntry KeyringEntryOf(const TEmlAccount& account) {
  KeyringEntry entry;
  entry.pop = account.isPOP;
  entry.server = account.server;
  entry.port = account.port;
  entry.user = account.username;
  return entry;
}

bool SameKeyringEntry(const KeyringEntry& a, const KeyringEntry& b) {
  return a.pop == b.pop && a.server == b.server && a.port == b.port && a.user == b.user;
}

std::string KeyringLabelOf(const TEmlAccount& account) {
  return "Brivane: " + account.name + " (" + account.server + ")";
}

KeyringResult RunKeyringCall(QWidget* window, const std::function<KeyringResult()>& call) {
  KeyringResult result;
  QThread* thread = QThread::create([&] { result = call(); });
  QEventLoop loop;
  QObject::connect(thread, &QThread::finished, &loop, &QEventLoop::quit);
  const bool wasEnabled = window->isEnabled();
  window->setEnabled(false);  // no second OK, no edits while the call runs
  QApplication::setOverrideCursor(Qt::BusyCursor);
  thread->start();
  if (!thread->isRunning() && !thread->isFinished()) {
    // No thread could be made: its finished signal would never come.
    result.outcome = KeyringResult::Outcome::Failed;
    result.message = "no thread could be started for the call";
  } else {
    if (!thread->isFinished()) loop.exec();
    thread->wait();  // `result` is complete once the thread has ended
  }
  delete thread;
  QApplication::restoreOverrideCursor();
  window->setEnabled(wasEnabled);
  return result;
}

}  // namespace brivane
