// Rebuilds of the message panel's list with the fonts that paint (Qt
// metrics, widths already measured once): the whole list of 20 accounts with
// 25 messages each, one account of 20 changing, one folder of 2,000 unseen
// messages, and 20 accounts of 2,000 each cut to windows 768 and 2160 pixels
// high. Each case states its goal as the counter goal_ms.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <string>

#include "checking/check_cycle.h"
#include "checking/message_queue.h"
#include "saver/message_view.h"

namespace {

using namespace brivane;

struct Rig {
  explicit Rig(int accounts, int clientHeight = 1080) : clientHeight(clientHeight) {
    panel.setPanelSize({350, 400});
    for (int a = 0; a < accounts; ++a) {
      TEmlAccount acc;
      acc.name = "Account " + std::to_string(a);
      acc.server = "imap" + std::to_string(a) + ".example.com";
      acc.folders = {"INBOX;Inbox", "Lists;Mailing lists"};
      cycle.Accounts.push_back(acc);
    }
    SaverSettings s;
    s.displayMsgPreview = true;
    view.model.setSettings(s);
    view.model.setClock([] { return kNow; });
  }
  // `count` messages of account a: five senders, two folders, distinct subjects.
  void publish(int a, int count, int variant = 0) {
    std::erase_if(cycle.resultList, [&](const MessageSummary& m) { return m.accountIndex == a; });
    for (int k = 0; k < count; ++k) {
      MessageSummary m;
      m.accountIndex = a;
      m.setFolder(k % 4 == 0 ? "Lists" : "INBOX");
      m.setSender("Sender " + std::to_string(k % 5) + " <s" + std::to_string(k % 5) + "@example.org>");
      m.setSubject("Re: Quarterly figures & the <draft> plan #" + std::to_string(k + variant));
      m.setPreview("Hi all, attached are the numbers for week " + std::to_string(k) +
                   " that we talked about on Monday, please have a look");
      m.received = kNow - 37 * (count - k) - variant;  // the last one is the newest
      cycle.resultList.push_back(m);
    }
    cycle.listChanged = 1;
  }
  static constexpr int64_t kNow = 1796000000;
  int clientHeight;
  MessageQueue target;
  CheckCycle cycle{target};
  TpopMessages panel;
  MessageView view{panel, [this] { return QRect(0, 0, 1920, clientHeight); }, [] {}};
};

// Rebuilds the whole list from the queued rows, again and again; every
// width was measured once before.
void timeFullRebuilds(benchmark::State& state, Rig& rig, double goalMs) {
  rig.view.model.FillInitialList(rig.cycle.Accounts);
  rig.view.model.RebuildList(rig.cycle);
  for (auto _ : state) {
    state.PauseTiming();
    rig.view.model.FillInitialList(rig.cycle.Accounts);
    rig.cycle.listChanged = 1;
    state.ResumeTiming();
    rig.view.model.RebuildList(rig.cycle);
  }
  state.counters["rows"] = rig.panel.lstMessages->count();
  state.counters["goal_ms"] = goalMs;
}

// The list of every account rebuilt from its queued rows.
void BM_RebuildAllAccounts(benchmark::State& state) {
  Rig rig(20);
  for (int a = 0; a < 20; ++a) rig.publish(a, 25);
  timeFullRebuilds(state, rig, 1.0);
}
BENCHMARK(BM_RebuildAllAccounts)->Unit(benchmark::kMillisecond);

// One account's check found one more message; the 19 others are unchanged.
void BM_RebuildOneAccountChanged(benchmark::State& state) {
  Rig rig(20);
  for (int a = 0; a < 20; ++a) rig.publish(a, 25);
  rig.view.model.FillInitialList(rig.cycle.Accounts);
  rig.view.model.RebuildList(rig.cycle);
  int count = 25;
  for (int k = 0; k < 2; ++k) {  // both lists measured once
    rig.publish(7, count = 51 - count);
    rig.view.model.RebuildList(rig.cycle);
  }
  for (auto _ : state) {
    state.PauseTiming();
    rig.publish(7, count = 51 - count);
    state.ResumeTiming();
    rig.view.model.RebuildList(rig.cycle);
  }
  state.counters["goal_ms"] = 0.3;
}
BENCHMARK(BM_RebuildOneAccountChanged)->Unit(benchmark::kMillisecond);

// One folder holding 2,000 unseen messages, from its queued row.
void BM_RebuildLargeFolder(benchmark::State& state) {
  Rig rig(1);
  rig.publish(0, 2000);
  timeFullRebuilds(state, rig, 10.0);
}
BENCHMARK(BM_RebuildLargeFolder)->Unit(benchmark::kMillisecond);

// 20 accounts of 2,000 unseen messages each, in a window state.range(0)
// pixels high: the list keeps what fits.
void BM_RebuildManyLargeAccounts(benchmark::State& state) {
  Rig rig(20, static_cast<int>(state.range(0)));
  for (int a = 0; a < 20; ++a) rig.publish(a, 2000);
  timeFullRebuilds(state, rig, 10.0);
}
BENCHMARK(BM_RebuildManyLargeAccounts)->Arg(768)->Arg(2160)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
