// A bundled program that answers Apple events, for tests of the process walk, of launching and
// of login items. It replies with an empty answer, or, given a file holding a flattened
// descriptor, with that descriptor as the reply's error number. Started with
// KAPSHO_TEST_STEP_ASIDE naming a file, it answers nothing and leaves once the file is there, as
// an instance does that finds the session served by another.
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/carbon/AETransport.h"
#include "platform/carbon/AEWire.h"
#include "platform/foundation/FileIO.h"

int main(int argc, char** argv) {
  if (const char* aside = std::getenv("KAPSHO_TEST_STEP_ASIDE"); aside && *aside) {
    for (int waited = 0; access(aside, F_OK) != 0 && waited < 10000; ++waited) usleep(1000);
    return 0;
  }
  AEDesc errorNumber{typeNull, nullptr};
  if (argc > 1 && platform::unflattenDescriptor(platform::contentsOfFile(argv[1]).value_or(""),
                                                &errorNumber) != noErr)
    return 2;
  platform::AEEventListener listener([&](const AppleEvent*, AppleEvent* reply) {
    return errorNumber.descriptorType == typeNull
               ? OSErr{noErr}
               : AEPutParamDesc(reply, keyErrorNumber, &errorNumber);
  });
  std::string error;
  if (!listener.open(&error)) return 1;
  listener.run();
}
