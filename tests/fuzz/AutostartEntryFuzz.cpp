// A login item's autostart entry as System Events reads it back at start: the user may have
// edited the file. Whatever it holds, the item read from it, written out as the service writes
// entries, reads back with the same path and hidden flag.
#include "services/system-events/AutostartEntries.h"
#include "tests/fuzz/FuzzSupport.h"

using fuzz_support::shown;

namespace {

constexpr unsigned long kEntry = 1;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("XDG_CONFIG_HOME", fuzz_support::scratchFolder().c_str(), 1);
  std::filesystem::create_directories(system_events::autostartFolder());
  return 0;
}

FUZZ_TARGET(input) {
  fuzz_support::scratchFile("autostart/kapsho-login-item-" + std::to_string(kEntry) + ".desktop",
                            input);
  const auto item = system_events::itemOfAutostartEntry(kEntry);
  if (!item) return;
  FUZZ_REQUIRE(item->path && !item->path->empty() && item->entry == kEntry,
               "an item was read without a path or with another entry");
  system_events::writeAutostartEntry(*item);
  const auto reread = system_events::itemOfAutostartEntry(kEntry);
  FUZZ_REQUIRE(reread && reread->path == item->path,
               "an entry written for the path " + shown(*item->path) + " reads back " +
                   (reread ? "the path " + shown(reread->path.value_or("")) : "no item"));
  FUZZ_REQUIRE(reread->hidden == item->hidden.value_or(false),
               "an entry written for a hidden flag reads back another");
}
