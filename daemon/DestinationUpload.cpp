// Upload to a destination of the user's own (an SFTP folder, a bucket), when the agent's settings
// name one. The upload is the one in flight like any other: a newer screenshot or the teardown
// cancels it, and its outcome is the design's: the address on the clipboard and in the recent
// list with the finished state, or the log line, the error state and the held error.
#include <utility>

#include "common/Destination.h"
#include "daemon/KapshoController.h"
#include "platform/foundation/Thread.h"
#include "platform/foundation/UserDefaults.h"

using namespace platform;

namespace {

const std::string DestinationErrorDomain = "KapshoDestinationErrorDomain";

// An upload to a destination as the controller holds the upload in flight: it runs on a thread
// of its own and hands its outcome to the main thread, unless it was cancelled first.
class DestinationConnection final : public NSURLConnection,
                                    public std::enable_shared_from_this<DestinationConnection> {
 public:
  using Work = std::function<PutOutcome(URLTransfer&)>;
  using Handler = std::function<void(NSURLConnection&, const PutOutcome&)>;

  static std::shared_ptr<DestinationConnection> start(Work work, Handler handler) {
    auto connection = std::make_shared<DestinationConnection>(std::move(handler));
    NSThread::detachNewThreadSelector([work = std::move(work), transfer = connection->transfer_,
                                       owner = connection->weak_from_this()] {
      PutOutcome outcome = work(*transfer);
      performSelectorOnMainThread(
          [owner, outcome = std::move(outcome)] {
            if (auto self = owner.lock(); self && self->handler_)
              std::exchange(self->handler_, nullptr)(*self, outcome);
          },
          false);
    });
    return connection;
  }

  explicit DestinationConnection(Handler handler) : handler_(std::move(handler)) {}
  ~DestinationConnection() override { cancel(); }

  void cancel() override {
    handler_ = nullptr;
    transfer_->cancel();
  }

 private:
  Handler handler_;  // on the main thread only
  std::shared_ptr<URLTransfer> transfer_ = std::make_shared<URLTransfer>();
};

std::string fileNameOf(const std::string& path) {
  return path.substr(path.rfind('/') + 1);
}

}  // namespace

void KapshoController::uploadToDestination(const Destination::Settings& settings, const Data& file,
                                           const std::string& path) {
  // Checked for each upload: a key file made readable by others since is refused now.
  auto destination = Destination::make(settings);
  if (const auto* failed = std::get_if<Destination::Failure>(&destination)) {
    uploadCouldNotStart(failed->reason);
    return;
  }
  currentConnection_ = DestinationConnection::start(
      [destination = std::get<Destination>(std::move(destination)), name = fileNameOf(path),
       file](URLTransfer& transfer) { return putAtDestination(destination, file, name, transfer); },
      [this](NSURLConnection& upload, const PutOutcome& outcome) {
        destinationDidFinish(upload, outcome);
      });
  showStatus(StatusItemPending, 0.0);
}

void KapshoController::destinationDidFinish(NSURLConnection& upload, const PutOutcome& outcome) {
  if (!isCurrent(upload)) return;
  const auto* address = std::get_if<std::string>(&outcome);
  const auto url = address ? NSURL::URLWithString(*address) : std::nullopt;
  if (!url) {
    const std::string reason = address ? "the address template made no address: " + *address
                                       : std::get<Destination::Failure>(outcome).reason;
    connectionDidFailWithError(upload, NSError(DestinationErrorDomain, 1, reason));
    return;
  }
  notifyUploadFinished(*url);
  finishedUpload(*url);
  showStatus(StatusItemFinished, StatusItemDefaultTimeout);
  currentConnection_.reset();
}
