// The desktop portal's answer to the capture tool's screenshot request: a code and a dictionary of
// results, built from the input as the session bus delivers an a{sv} (strings, numbers, booleans,
// byte arrays, string lists, nested variants), "uri" most often among the keys.
// Invariants: an answer gives the path of a file or a CaptureError alone; a path given is absolute,
// the file the portal wrote.
#include <fuzzer/FuzzedDataProvider.h>

#include <QDBusVariant>
#include <QStringList>

#include "tests/fuzz/FuzzSupport.h"
#include "tools/kapsho-capture/CaptureError.h"
#include "tools/kapsho-capture/PortalScreenshot.h"

using fuzz_support::shown;
using kapsho_capture::CaptureError;
using kapsho_capture::PortalScreenshot;

namespace {

QString text(FuzzedDataProvider& input) {
  return QString::fromStdString(input.ConsumeRandomLengthString(256));
}

QVariant value(FuzzedDataProvider& input) {
  switch (input.ConsumeIntegralInRange(0, 7)) {
    case 0:
      return input.ConsumeIntegral<uint>();
    case 1:
      return input.ConsumeIntegral<int>();
    case 2:
      return input.ConsumeBool();
    case 3:
      return input.ConsumeFloatingPoint<double>();
    case 4:
      return QByteArray::fromStdString(input.ConsumeRandomLengthString(256));
    case 5:
      return QStringList{text(input), text(input)};
    case 6:
      return QVariant::fromValue(QDBusVariant(text(input)));
    default:
      return text(input);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const uint code = input.ConsumeIntegralInRange<uint>(0, 3);
  QVariantMap results;
  for (int entries = input.ConsumeIntegralInRange(0, 3); entries > 0; --entries) {
    const QString key = input.ConsumeBool() ? QStringLiteral("uri") : text(input);
    results.insert(key, value(input));
  }
  std::string path;
  try {
    path = PortalScreenshot::fileOfAnswer(code, results);
  } catch (const CaptureError&) {
    return 0;
  }
  FUZZ_REQUIRE(code == 0, "a refused screenshot gave a file");
  FUZZ_REQUIRE(path.starts_with('/'), "the portal's answer gave the path " + shown(path) + " for " +
                                          shown(results.value("uri").toString().toStdString()));
  return 0;
}
