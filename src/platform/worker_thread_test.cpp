#include "platform/worker_thread.h"

#include <gtest/gtest.h>
#include <stdexcept>
#include <system_error>

namespace brivane {
namespace {

// Records what abandoned() was told; can throw from its body or fail to get a thread.
class Probe : public WorkerThread {
 public:
  Probe(bool throws, bool noThread) : throws_(throws), noThread_(noThread) {}
  ~Probe() override { join(); }
  std::vector<std::string> ends;

 protected:
  void execute() override { if (throws_) throw std::runtime_error("boom"); }
  void abandoned(const std::string& why) override { ends.push_back(why); }
  std::thread spawn(std::function<void()> body) override {
    if (noThread_) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    return WorkerThread::spawn(std::move(body));
  }
  const bool throws_, noThread_;
};

TEST(WorkerThread, EveryEndIsReportedAndJoinNeverHangs) {
  const std::tuple<bool, bool, bool, std::string> cases[] = {
      {false, false, true, ""}, {true, false, true, "ended by an error: boom"},
      {false, true, false, "the thread could not be started: "}};
  for (const auto& [throws, noThread, starts, end] : cases) {
    Probe p(throws, noThread);
    EXPECT_EQ(p.start(), starts);
    EXPECT_EQ(p.start(), starts);  // a second start changes nothing
    p.join();
    EXPECT_TRUE(p.finished() && p.waitFor(WorkerThread::Clock::now()));
    const std::string told = p.ends.empty() ? "" : p.ends[0].substr(0, end.size());
    EXPECT_EQ(std::pair(p.ends.size(), told), std::pair(size_t(!end.empty()), end));
  }
}

}  // namespace
}  // namespace brivane
