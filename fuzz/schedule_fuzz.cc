// scheduled_actions.json: the reader over any bytes; whatever it accepts must be written and read
// back unchanged.

#include "fuzz_util.h"
#include "quellmar/engine/schedule_store.h"

using namespace quellmar;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::put_file("scheduled_actions.json", data, size);
  const std::string& dir = fuzz::scratch_dir();
  auto store = ScheduleStore::load(dir);
  if (!store.is_ok()) return 0;
  QM_FUZZ_CHECK(store->next_id() >= 1);
  QM_FUZZ_CHECK(store->save().is_ok());
  auto again = ScheduleStore::load(dir);
  QM_FUZZ_CHECK(again.is_ok());
  QM_FUZZ_CHECK(again->next_id() == store->next_id());
  QM_FUZZ_CHECK(again->entries().size() == store->entries().size());
  for (size_t i = 0; i < store->entries().size(); ++i) {
    const ScheduledEntry& a = store->entries()[i];
    const ScheduledEntry& b = again->entries()[i];
    QM_FUZZ_CHECK(a.id == b.id && a.owner == b.owner && a.fires_at == b.fires_at);
    QM_FUZZ_CHECK(a.threshold == b.threshold ||
                  (a.threshold != a.threshold && b.threshold != b.threshold));
  }
  (void)store->collect_due(UnixTime{1700000000, 0});
  (void)store->list_by_fire_time();
  return 0;
}
