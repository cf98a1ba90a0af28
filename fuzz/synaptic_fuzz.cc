// synaptic.qmr: the bank's scan and every owner's load over any bytes; an entry appended
// afterwards must load again.

#include <set>

#include "fuzz_util.h"
#include "quellmar/core/synaptic_bank.h"

using namespace quellmar;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::put_file("synaptic.qmr", data, size);
  const std::string& dir = fuzz::scratch_dir();
  auto bank = SynapticBank::open(dir);
  QM_FUZZ_CHECK(bank.is_ok());
  std::set<OwnerId> owners;
  for (const auto& e : bank->index()) owners.insert(e.owner);
  for (OwnerId owner : owners) (void)bank->load_for_owner(owner);

  SynapticEntry added;
  added.id = 77;
  added.owner = 0x5eed;
  added.rank = 2;
  added.d_model = 2;
  added.lora_a = {1, 2, 3, 4};
  added.lora_b = {5, 6, 7, 8};
  QM_FUZZ_CHECK(bank->append(added).is_ok());
  auto again = SynapticBank::open(dir);
  QM_FUZZ_CHECK(again.is_ok());
  if (owners.count(added.owner)) return 0;  // the input's own entries of that owner may be bad
  auto got = again->load_for_owner(added.owner);
  QM_FUZZ_CHECK(got.is_ok() && got->size() == 1);
  QM_FUZZ_CHECK(got->front().lora_a == added.lora_a && got->front().lora_b == added.lora_b);
  return 0;
}
