// A bundled program that answers Apple events, for tests of the process walk, of launching and
// of the transport. It replies with an empty answer, or, given a file holding a flattened
// record, with that record's entries as the reply's parameters. Started with
// KAPSHO_TEST_STEP_ASIDE naming a file, it answers nothing and leaves once the file is there, as
// an instance does that finds the session served by another.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "platform/carbon/AETransport.h"
#include "platform/carbon/AEWire.h"
#include "platform/foundation/FileIO.h"

namespace {

platform::AEEventListener* running = nullptr;

void stopRunning(int) {
  running->stop();
}

OSErr copyEntries(const std::string& flattenedRecord, AppleEvent* reply) {
  AEDesc record{typeNull, nullptr}, entry{typeNull, nullptr};
  OSErr err = platform::unflattenDescriptor(flattenedRecord, &record);
  long count = 0;
  if (err == noErr) err = AECountItems(&record, &count);
  for (long i = 1; err == noErr && i <= count; ++i) {
    AEKeyword keyword = 0;
    err = AEGetNthDesc(&record, i, typeWildCard, &keyword, &entry);
    if (err == noErr) err = AEPutParamDesc(reply, keyword, &entry);
    AEDisposeDesc(&entry);
  }
  AEDisposeDesc(&record);
  return err;
}

}  // namespace

int main(int argc, char** argv) {
  if (const char* aside = std::getenv("KAPSHO_TEST_STEP_ASIDE"); aside && *aside) {
    for (int waited = 0; access(aside, F_OK) != 0 && waited < 10000; ++waited) usleep(1000);
    return 0;
  }
  std::optional<std::string> canned;
  if (argc > 1 && !(canned = platform::contentsOfFile(argv[1]))) return 2;
  platform::AEEventListener listener([&](const AppleEvent*, AppleEvent* reply) {
    return canned ? copyEntries(*canned, reply) : OSErr{noErr};
  });
  std::string error;
  if (!listener.open(&error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  running = &listener;
  signal(SIGTERM, stopRunning);
  signal(SIGINT, stopRunning);
  listener.run();
  return 0;
}
