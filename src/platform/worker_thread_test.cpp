#include "platform/worker_thread.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <system_error>
#include <vector>

namespace brivane {
namespace {

// Records how it ended; can throw from its body or fail to get a thread.
class Probe : public WorkerThread {
 public:
  Probe(bool throws, bool noThread) : throws_(throws), noThread_(noThread) {}
  ~Probe() override { join(); }
  std::vector<std::string> ends;  // what abandoned() was told

 protected:
  void execute() override {
    if (throws_) throw std::runtime_error("boom");
  }
  void abandoned(const std::string& why) override { ends.push_back(why); }
  std::thread spawn(std::function<void()> body) override {
    if (noThread_) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    return WorkerThread::spawn(std::move(body));
  }

 private:
  bool throws_, noThread_;
};

TEST(WorkerThread, EveryEndIsReportedAndJoinNeverHangs) {
  const struct {
    bool throws, noThread, starts;
    std::string end;
  } cases[] = {
      {false, false, true, ""},
      {true, false, true, "ended by an error: boom"},
      {false, true, false, "the thread could not be started: "},
  };
  for (const auto& c : cases) {
    Probe p(c.throws, c.noThread);
    EXPECT_EQ(p.start(), c.starts);
    EXPECT_EQ(p.start(), c.starts);  // a second start changes nothing
    p.join();
    EXPECT_TRUE(p.finished());
    EXPECT_TRUE(p.waitFor(WorkerThread::Clock::now()));
    ASSERT_EQ(p.ends.size(), c.end.empty() ? 0u : 1u) << c.end;
    if (!c.end.empty()) {
      EXPECT_EQ(p.ends[0].substr(0, c.end.size()), c.end);
    }
  }
}

}  // namespace
}  // namespace brivane
