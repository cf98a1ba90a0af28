#include "quellmar/engine/maintenance.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>

#include "quellmar/core/file_names.h"
#include "quellmar/core/posix_file.h"
#include "test_util.h"

namespace quellmar {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::TempDir;

constexpr uint64_t MS = 1000000;
constexpr uint64_t HOUR = 3600000 * MS;

MaintenanceConfig Config(uint64_t sweep_ns, uint64_t compaction_ns, float threshold = 10.0f,
                         float hours_per_tick = 0.0f) {
  return MaintenanceConfig{sweep_ns, compaction_ns, threshold, hours_per_tick, true};
}

PackWrite Pack(OwnerId owner, int axis, float salience) {
  PackWrite w;
  w.owner = owner;
  w.retrieval_key.assign(16, 0.25f);
  w.retrieval_key[static_cast<size_t>(axis)] = 4.0f;
  w.layer_payloads = {LayerPayload{0, std::vector<float>(8, 1.0f)}};
  w.salience = salience;
  return w;
}

// Polls until `done` holds or ten seconds pass; returns whether it held.
bool WaitFor(const std::function<bool()>& done) {
  const auto deadline = Clock::now() + 10s;
  while (!done()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

double MillisSince(Clock::time_point t) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

// Threads of this process that carry the given name.
int ThreadsNamed(const std::string& name) {
  int n = 0;
  DIR* dir = opendir("/proc/self/task");
  if (!dir) return -1;
  while (dirent* d = readdir(dir)) {
    if (d->d_name[0] == '.') continue;
    std::ifstream comm(std::string("/proc/self/task/") + d->d_name + "/comm");
    std::string line;
    if (std::getline(comm, line) && line == name) ++n;
  }
  closedir(dir);
  return n;
}

// CPU time (user + system, in clock ticks) of the one thread with this name; -1 without one.
long ThreadCpuTicks(const std::string& name) {
  long ticks = -1;
  DIR* dir = opendir("/proc/self/task");
  if (!dir) return -1;
  while (dirent* d = readdir(dir)) {
    if (d->d_name[0] == '.') continue;
    const std::string task = std::string("/proc/self/task/") + d->d_name;
    std::ifstream comm(task + "/comm");
    std::string line;
    if (!std::getline(comm, line) || line != name) continue;
    std::ifstream stat(task + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // Fields after the parenthesised name: state is field 3, utime 14 and stime 15.
    std::istringstream rest(text.substr(text.rfind(')') + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
      if (i == 14) utime = std::stol(field);
      if (i == 15) stime = std::stol(field);
    }
    ticks = utime + stime;
  }
  closedir(dir);
  return ticks;
}

// File faults switched on and off while the thread runs: the hook itself is only set while no
// maintenance thread exists.
std::atomic<bool> g_fail{false};
std::atomic<int> g_fail_hits{0};
std::atomic<bool> g_throw{false};

bool IsDeletionLog(const std::string& path) {
  const std::string name = DELETION_LOG_FILE;
  return path.size() >= name.size() &&
         path.compare(path.size() - name.size(), name.size(), name) == 0;
}

int FailDeletionLog(FileOp op, const std::string& path) {
  if (op != FileOp::Open || !IsDeletionLog(path)) return 0;
  if (g_throw.load()) throw InternalFault("injected fault");
  if (!g_fail.load()) return 0;
  g_fail_hits.fetch_add(1);
  return EIO;
}

int FailSegmentOpen(FileOp op, const std::string& path) {
  if (op != FileOp::Open || path.find("segment_") == std::string::npos || !g_fail.load()) return 0;
  g_fail_hits.fetch_add(1);
  return EIO;
}

class MaintenanceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_fail = false;
    g_fail_hits = 0;
    g_throw = false;
  }
  void TearDown() override { set_file_fault_hook(nullptr); }

  std::shared_ptr<EngineMutex> Open(std::optional<uint64_t> segment_size = {}) {
    auto e = Engine::open(dir_.path(), DEFAULT_VAMANA_THRESHOLD, segment_size);
    EXPECT_TRUE(e.is_ok()) << e.error().message();
    return e.is_ok() ? std::make_shared<EngineMutex>(std::move(e).value()) : nullptr;
  }
  static PackId Write(EngineMutex& m, PackWrite w) {
    auto g = m.lock();
    auto id = (*g)->mem_write_pack(std::move(w));
    EXPECT_TRUE(id.is_ok()) << id.error().message();
    return id.is_ok() ? *id : 0;
  }
  static bool Exists(EngineMutex& m, PackId pack) {
    return (*m.lock())->pack_directory().contains(pack);
  }

  TempDir dir_;
};

TEST_F(MaintenanceTest, StartStopAndTheThreadItself) {
  auto engine = Open();
  {
    MaintenanceHandle disabled(MaintenanceConfig{MS, MS, 0, 0, false});
    QM_ASSERT_OK(disabled.start(engine));
    EXPECT_FALSE(disabled.is_running());
    EXPECT_EQ(engine.use_count(), 1);
  }
  MaintenanceHandle h(Config(HOUR, HOUR));
  h.stop();  // without a thread: nothing to do
  EXPECT_EQ(h.status(), MaintenanceStats{});
  EXPECT_FALSE(h.is_running());

  QM_ASSERT_OK(h.start(engine));
  QM_ASSERT_OK(h.start(engine));  // already attached: nothing happens
  EXPECT_TRUE(h.is_running());
  EXPECT_EQ(engine.use_count(), 2);
  ASSERT_TRUE(WaitFor([] { return ThreadsNamed(MAINTENANCE_THREAD_NAME) == 1; }));
  std::this_thread::sleep_for(20ms);  // let it settle into its pause
  const MaintenanceStats fresh = h.status();
  EXPECT_EQ(fresh, MaintenanceStats{});
  EXPECT_FALSE(fresh.last_sweep_epoch_secs.has_value());
  EXPECT_FALSE(fresh.last_compaction_epoch_secs.has_value());

  // The pause is cut short by the stop: far less than the one-second cap.
  const auto t = Clock::now();
  h.stop();
  EXPECT_LT(MillisSince(t), 250.0);
  EXPECT_FALSE(h.is_running());
  EXPECT_EQ(engine.use_count(), 1);
  // A joined thread's task entry can outlive the join for a moment.
  EXPECT_TRUE(WaitFor([] { return ThreadsNamed(MAINTENANCE_THREAD_NAME) == 0; }));

  // Dropping a running handle stops and joins it just as quickly.
  auto scoped = std::make_unique<MaintenanceHandle>(Config(HOUR, HOUR));
  QM_ASSERT_OK(scoped->start(engine));
  std::this_thread::sleep_for(20ms);
  const auto t2 = Clock::now();
  scoped.reset();
  EXPECT_LT(MillisSince(t2), 250.0);
  EXPECT_EQ(engine.use_count(), 1);
}

TEST_F(MaintenanceTest, SweepsAdvanceTheClockEvictAndFireScheduledActions) {
  auto engine = Open();
  const PackId weak = Write(*engine, Pack(1, 0, 0.0f));     // importance 5: below 10
  const PackId middle = Write(*engine, Pack(2, 1, 30.0f));  // 35: only the scheduled action
  const PackId strong = Write(*engine, Pack(1, 2, 90.0f));  // 95, Core
  QM_ASSERT_OK((*engine->lock())->schedule().add(UnixTime{0, 0}, 2, 50.0f));

  const uint64_t before = unix_now_ns() / 1000000000;
  MaintenanceHandle h(Config(MS, HOUR, 10.0f, 12.0f));
  QM_ASSERT_OK(h.start(engine));
  ASSERT_TRUE(WaitFor([&] { return h.status().sweep_count >= 3; }));
  h.stop();
  const uint64_t after = unix_now_ns() / 1000000000;

  const MaintenanceStats s = h.status();
  EXPECT_EQ(s.total_packs_evicted, 1u);  // the scheduled eviction is not counted
  ASSERT_TRUE(s.last_sweep_epoch_secs.has_value());
  EXPECT_GE(*s.last_sweep_epoch_secs, before);
  EXPECT_LE(*s.last_sweep_epoch_secs, after);
  EXPECT_EQ(s.compaction_count, 0u);
  EXPECT_FALSE(s.last_compaction_epoch_secs.has_value());
  // The counters stay with the stopped handle.
  EXPECT_EQ(h.status(), s);

  auto g = engine->lock();
  Engine& e = **g;
  EXPECT_FALSE(e.pack_directory().contains(weak));
  EXPECT_FALSE(e.pack_directory().contains(middle));
  EXPECT_TRUE(e.pack_directory().contains(strong));
  EXPECT_TRUE(e.list_scheduled().empty());
  // Half a day per sweep, once per counted sweep.
  const CellId head = e.pack_directory().cells(strong)->front();
  EXPECT_FLOAT_EQ(e.governance().at(head).age_days, 0.5f * static_cast<float>(s.sweep_count));
}

TEST_F(MaintenanceTest, AZeroSweepIntervalSweepsWithoutPausing) {
  auto engine = Open();
  MaintenanceHandle h(Config(0, HOUR));
  QM_ASSERT_OK(h.start(engine));
  ASSERT_TRUE(WaitFor([&] { return h.status().sweep_count >= 200; }));
  h.stop();
}

TEST_F(MaintenanceTest, FailedStepsAreDroppedAndTheLoopGoesOn) {
  auto engine = Open();
  const PackId weak = Write(*engine, Pack(1, 0, 0.0f));
  const PackId scheduled = Write(*engine, Pack(2, 1, 30.0f));
  QM_ASSERT_OK((*engine->lock())->schedule().add(UnixTime{0, 0}, 2, 50.0f));
  set_file_fault_hook(&FailDeletionLog);
  g_fail = true;

  MaintenanceHandle h(Config(2 * MS, HOUR));
  QM_ASSERT_OK(h.start(engine));
  // Both the sweep's eviction and the scheduled one fail on every sweep, which still counts.
  ASSERT_TRUE(WaitFor([&] { return h.status().sweep_count >= 3 && g_fail_hits >= 6; }));
  EXPECT_EQ(h.status().total_packs_evicted, 0u);
  EXPECT_TRUE(Exists(*engine, weak));
  EXPECT_TRUE(Exists(*engine, scheduled));
  EXPECT_EQ((*engine->lock())->list_scheduled().size(), 1u);
  EXPECT_TRUE(h.is_running());

  g_fail = false;
  ASSERT_TRUE(WaitFor([&] { return h.status().total_packs_evicted == 1; }));
  ASSERT_TRUE(WaitFor([&] { return (*engine->lock())->list_scheduled().empty(); }));
  h.stop();
  EXPECT_FALSE(Exists(*engine, weak));
  EXPECT_FALSE(Exists(*engine, scheduled));
}

TEST_F(MaintenanceTest, CompactionsCountOnlyWhenTheySucceed) {
  // One segment per pack; deleting most packs leaves segments to reclaim.
  auto engine = Open(1);
  std::vector<PackId> packs;
  for (int i = 0; i < 4; ++i) packs.push_back(Write(*engine, Pack(1, i, 50.0f)));
  for (size_t i = 0; i + 1 < packs.size(); ++i)
    QM_ASSERT_OK((*engine->lock())->delete_pack(packs[i]));
  set_file_fault_hook(&FailSegmentOpen);
  g_fail = true;

  constexpr uint64_t INTERVAL = 30 * MS;
  const auto start = Clock::now();
  MaintenanceHandle h(Config(HOUR, INTERVAL));
  QM_ASSERT_OK(h.start(engine));
  ASSERT_TRUE(WaitFor([&] { return g_fail_hits >= 3; }));
  // Each failed attempt waited a full interval after the one before.
  const int attempts = g_fail_hits;
  EXPECT_GE(MillisSince(start), attempts * 30.0);
  EXPECT_EQ(h.status(), MaintenanceStats{});

  g_fail = false;
  ASSERT_TRUE(WaitFor([&] { return h.status().compaction_count >= 2; }));
  h.stop();
  const MaintenanceStats s = h.status();
  EXPECT_GT(s.total_bytes_reclaimed, 0u);
  ASSERT_TRUE(s.last_compaction_epoch_secs.has_value());
  EXPECT_EQ(s.sweep_count, 0u);
  EXPECT_TRUE(Exists(*engine, packs.back()));
  // Nothing is left to reclaim on a second look.
  QM_ASSERT_OK_AND_ASSIGN(CompactionReport again, (*engine->lock())->compact());
  EXPECT_EQ(again.bytes_reclaimed, 0u);
}

TEST_F(MaintenanceTest, EveryStartCountsFromZero) {
  auto engine = Open();
  MaintenanceHandle h(Config(MS, HOUR));
  QM_ASSERT_OK(h.start(engine));
  ASSERT_TRUE(WaitFor([&] { return h.status().sweep_count >= 2; }));
  h.stop();
  EXPECT_GE(h.status().sweep_count, 2u);
  {
    // With the engine held here, no sweep of the new run can finish.
    auto g = engine->lock();
    QM_ASSERT_OK(h.start(engine));
    std::this_thread::sleep_for(10ms);
    EXPECT_EQ(h.status(), MaintenanceStats{});
  }
  ASSERT_TRUE(WaitFor([&] { return h.status().sweep_count >= 1; }));
  h.stop();
}

TEST_F(MaintenanceTest, APoisonedEngineLockSkipsEveryStep) {
  auto engine = Open();
  try {
    auto g = engine->lock();
    throw InternalFault("earlier fault");
  } catch (const InternalFault&) {
  }
  ASSERT_TRUE(engine->is_poisoned());

  MaintenanceHandle h(Config(MS, MS));
  QM_ASSERT_OK(h.start(engine));
  ASSERT_TRUE(WaitFor([] { return ThreadsNamed(MAINTENANCE_THREAD_NAME) == 1; }));
  const long cpu_before = ThreadCpuTicks(MAINTENANCE_THREAD_NAME);
  std::this_thread::sleep_for(200ms);
  EXPECT_TRUE(h.is_running());
  EXPECT_EQ(h.status(), MaintenanceStats{});
  // The retries pause instead of polling the lock: the thread spent almost no CPU time.
  EXPECT_LE(ThreadCpuTicks(MAINTENANCE_THREAD_NAME) - cpu_before, 2);
  const auto t = Clock::now();
  h.stop();
  EXPECT_LT(MillisSince(t), 250.0);
}

TEST_F(MaintenanceTest, AnInternalFaultEndsTheThreadAndPoisonsTheLock) {
  auto engine = Open();
  Write(*engine, Pack(1, 0, 0.0f));
  set_file_fault_hook(&FailDeletionLog);
  g_throw = true;

  MaintenanceHandle h(Config(MS, HOUR));
  QM_ASSERT_OK(h.start(engine));
  ASSERT_TRUE(WaitFor([&] { return !h.is_running(); }));
  EXPECT_TRUE(engine->is_poisoned());
  EXPECT_EQ(engine.use_count(), 1);  // the thread let go of the engine
  EXPECT_EQ(h.status().sweep_count, 0u);
  h.stop();  // the fault is discarded
  EXPECT_FALSE(h.is_running());
}

}  // namespace
}  // namespace quellmar
