#include "quellmar/engine/engine_mutex.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

#include "test_util.h"

namespace quellmar {
namespace {

TEST(EngineMutexTest, FaultUnderTheLockPoisonsItForGood) {
  testing::TempDir dir;
  QM_ASSERT_OK_AND_ASSIGN(auto engine, Engine::open(dir.path()));
  auto shared = std::make_shared<EngineMutex>(std::move(engine));
  {
    auto g = shared->lock();
    ASSERT_TRUE(g.has_value());
    EXPECT_EQ((*g)->cell_count(), 0u);
  }
  EXPECT_THROW(
      {
        auto g = shared->lock();
        ASSERT_TRUE(g.has_value());
        throw InternalFault("boom");
      },
      InternalFault);
  EXPECT_TRUE(shared->is_poisoned());
  EXPECT_FALSE(shared->lock().has_value());
  // Another thread sees it too, and the lock is free for it to try.
  bool other = true;
  std::thread([&] { other = shared->lock().has_value(); }).join();
  EXPECT_FALSE(other);
}

}  // namespace
}  // namespace quellmar
