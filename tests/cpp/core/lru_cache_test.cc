#include "quellmar/core/lru_cache.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "quellmar/core/poison_mutex.h"

namespace quellmar {
namespace {

using Cache = LruCache<uint64_t, std::string>;

Cache::Value str(const char* s) { return std::make_shared<const std::string>(s); }

TEST(LruCacheTest, EvictsTheLeastRecentlyUsedEntry) {
  Cache cache(2);
  cache.put(1, str("a"));
  cache.put(2, str("b"));
  ASSERT_NE(cache.get(1), nullptr);  // 2 is now the oldest
  cache.put(3, str("c"));
  EXPECT_FALSE(cache.contains(2));
  EXPECT_TRUE(cache.contains(1));
  EXPECT_TRUE(cache.contains(3));
  EXPECT_EQ(cache.size(), 2u);
  // peek does not refresh: 1 stays the oldest.
  ASSERT_NE(cache.peek(1), nullptr);
  cache.put(4, str("d"));
  EXPECT_FALSE(cache.contains(1));
}

TEST(LruCacheTest, PutOfAPresentKeyReplacesItAndMakesItRecent) {
  Cache cache(2);
  cache.put(1, str("a"));
  cache.put(2, str("b"));
  cache.put(1, str("a2"));
  EXPECT_EQ(cache.size(), 2u);
  cache.put(3, str("c"));
  EXPECT_FALSE(cache.contains(2));
  EXPECT_EQ(*cache.get(1), "a2");
}

TEST(LruCacheTest, ValueOutlivesEvictionAndRemoval) {
  Cache cache(1);
  cache.put(1, str("kept"));
  Cache::Value held = cache.get(1);
  cache.put(2, str("other"));
  EXPECT_FALSE(cache.contains(1));
  EXPECT_EQ(*held, "kept");
  Cache::Value second = cache.get(2);
  EXPECT_TRUE(cache.remove(2));
  EXPECT_FALSE(cache.remove(2));
  EXPECT_EQ(*second, "other");
  EXPECT_TRUE(cache.empty());
}

TEST(LruCacheTest, ZeroCapacityHoldsOneEntry) {
  Cache cache(0);
  EXPECT_EQ(cache.capacity(), 1u);
  cache.put(1, str("a"));
  cache.put(2, str("b"));
  EXPECT_EQ(cache.size(), 1u);
  EXPECT_TRUE(cache.contains(2));
}

TEST(PoisonMutexTest, ExceptionWhileLockedPoisonsForGood) {
  PoisonMutex<int> m(5);
  {
    auto g = m.lock();
    ASSERT_TRUE(g.has_value());
    **g = 6;
  }
  EXPECT_FALSE(m.is_poisoned());
  // An exception that began before the lock was taken does not poison it.
  try {
    struct LocksDuringUnwind {
      PoisonMutex<int>* m;
      ~LocksDuringUnwind() { EXPECT_TRUE(m->lock().has_value()); }
    } probe{&m};
    throw std::runtime_error("before");
  } catch (const std::runtime_error&) {
  }
  EXPECT_FALSE(m.is_poisoned());
  try {
    auto g = m.lock();
    **g = 7;
    throw std::runtime_error("while holding");
  } catch (const std::runtime_error&) {
  }
  EXPECT_TRUE(m.is_poisoned());
  EXPECT_FALSE(m.lock().has_value());
  EXPECT_FALSE(m.lock().has_value());
}

}  // namespace
}  // namespace quellmar
