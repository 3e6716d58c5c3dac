// The agent's one controller: it watches the screenshot folder, uploads each new screenshot,
// puts its address on the clipboard and shows the outcome on its status item.
//
// Its operations are split by subsystem: KapshoController.cpp (start-up and teardown),
// Detection.cpp (pattern and folder watcher), Upload.cpp (request and outcome), UploadRoad.cpp
// (the road the settings choose for an upload), CustomUpload.cpp (uploads through a custom
// uploader file), DestinationUpload.cpp (uploads to a destination of the user's own),
// StatusItem.cpp (status item, its states and its menu), Notifications.cpp (desktop
// notifications of the outcomes).
#pragma once

#include <cstdint>
#include <memory>
#include <memory_resource>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "common/DestinationRoads.h"
#include "common/constants.h"
#include "daemon/Handles.h"
#include "platform/appkit/Menu.h"
#include "platform/appkit/StatusBar.h"
#include "platform/bsd/FileDescriptor.h"
#include "platform/bsd/kqueue.h"
#include "platform/foundation/Date.h"
#include "platform/foundation/DistributedNotificationCenter.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Object.h"
#include "platform/foundation/Timer.h"
#include "platform/foundation/URL.h"
#include "platform/foundation/URLConnection.h"
#include "platform/foundation/UserNotificationCenter.h"
#include "platform/foundation/Value.h"

constexpr double StatusItemDefaultTimeout = 2.0;
constexpr double StatusItemDefaultErrorTimeout = 5.0;

enum StatusItemState : std::int32_t {
  StatusItemPending = 0,
  StatusItemFinished = 1,
  StatusItemError = 2,
};

// Entry names of the capture folder. The names and their table live in one arena, so a listing
// of many entries costs a few large allocations rather than two for every name.
class NameSet {
  struct Hash {
    using is_transparent = void;
    size_t operator()(std::string_view name) const { return std::hash<std::string_view>()(name); }
  };
  using Names = std::pmr::unordered_set<std::pmr::string, Hash, std::equal_to<>>;

 public:
  NameSet() : table_(std::make_unique<Table>()) {}
  void reserve(size_t count) { table_->names.reserve(count); }
  void insert(std::string_view name) { table_->names.emplace(name); }
  bool contains(std::string_view name) const { return table_->names.contains(name); }
  size_t size() const { return table_->names.size(); }
  Names::const_iterator begin() const { return table_->names.begin(); }
  Names::const_iterator end() const { return table_->names.end(); }

 private:
  struct Table {
    std::pmr::monotonic_buffer_resource arena;
    Names names{&arena};
  };
  std::unique_ptr<Table> table_;
};

// The library's message for a regcomp or regexec code.
std::string regerror_str(int code, const regex_t* regex);

class CustomUpload;

class KapshoController : public platform::NSObject,
                         public platform::NSURLConnectionDelegate,
                         public platform::NSUserNotificationCenterDelegate {
 public:
  // Registers the agent's default settings, once, before the first controller is made.
  static void initialize();

  // Sets up the pattern, the images, the queue and the status item, then takes the first
  // snapshot of the folder. A failed set-up tears the controller down and raises again.
  KapshoController();
  ~KapshoController() override;
  KapshoController(const KapshoController&) = delete;
  KapshoController& operator=(const KapshoController&) = delete;

  // Screenshot detection.
  void setupRegex();
  const std::string& scType();
  const std::string& scPath();
  bool matchPicture(const std::string& name) const;
  int setupKQueue();
  // The names of the entries whose type code shares a bit with the mask; nullopt when the
  // folder cannot be opened.
  virtual std::optional<NameSet> scanDirectory(const std::string& path, int mask);
  // The watcher thread's body: it ends the process.
  [[noreturn]] void kqueueThread();
  // The watcher's loop; returns at the hang-up signal, raises "KQueueError" when the queue fails.
  void watchQueue();
  // Handles one batch of events; gives whether the hang-up signal asked to stop.
  bool handleEvents(const struct kevent* events, int count);
  void rescan();
  // Hands on the awaited files whose writers have all closed them.
  void handOnWrittenFiles();

  // Upload.
  static std::string boundaryForData(const platform::Data& data);
  virtual void matchPath(const std::string& path);
  void finishedUpload(const platform::NSURL& url, const std::string& deletionURL = {});
  void copyImage(const platform::NSURL& url);
  void openImage(const platform::NSURL& url);
  std::optional<platform::NSMutableURLRequest> connectionWillSendRequest(
      platform::NSURLConnection& connection, const platform::NSMutableURLRequest& request,
      const platform::NSHTTPURLResponse* redirectResponse) override;
  void connectionDidReceiveResponse(platform::NSURLConnection& connection,
                                    const platform::NSHTTPURLResponse& response) override;
  void connectionDidReceiveData(platform::NSURLConnection& connection,
                                const platform::Data& data) override;
  void connectionDidFailWithError(platform::NSURLConnection& connection,
                                  const platform::NSError& error) override;
  const std::string& uploadEndpoint() const { return uploadEndpoint_; }
  // Upload to a destination of the user's own (an SFTP folder, a bucket), and its outcome.
  void uploadToDestination(const Destination::Settings& settings, const platform::Data& file,
                           const std::string& path);
  void destinationDidFinish(platform::NSURLConnection& upload, const PutOutcome& outcome);

  // Upload through a custom uploader file: the outcomes of its exchange. A failure's line is
  // logged; with an error, the exchange itself failed and the error is held.
  void customUploadFinished(platform::NSURLConnection& connection, const platform::NSURL& url,
                            const std::string& deletionURL);
  void customUploadFailed(platform::NSURLConnection& connection, const std::string& line,
                          const std::optional<platform::NSError>& error);

  // Status item and menu.
  void setupImages();
  void setupStatusItem();
  void updateStatusItem();
  void showStatus(StatusItemState state, double timeout);
  void resetStatus(platform::NSTimer& timer);
  void setStatusError(const platform::NSError& error);
  void updateStatusMenu();
  void clearRecentImages(platform::NSObject* sender);
  void selectRecentImage(platform::NSMenuItem* sender);

  // Desktop notifications: whether the outcome of an upload is notified now, by the setting and
  // the tray hosts present; the notifications; the click on one.
  void setupNotifications();
  bool shouldNotify() const;
  void notifyUploadFinished(const platform::NSURL& url);
  void notifyUploadFailed(const std::string& reason);
  void userNotificationCenterDidActivateNotification(
      platform::NSUserNotificationCenter& center,
      const platform::NSUserNotification& notification) override;

  // The pane's request to show or hide the status item.
  void showStatusNotification(const platform::NSNotification& notification);

  // Menu actions by selector.
  bool respondsToSelector(std::string_view selector) const override;
  void performSelector(std::string_view selector, platform::NSObject* sender) override;

  // What the controller holds now, for inspection.
  const std::shared_ptr<platform::NSStatusItem>& statusItem() const { return statusItem_; }
  const std::shared_ptr<platform::NSURLConnection>& currentConnection() const {
    return currentConnection_;
  }
  const std::shared_ptr<platform::NSTimer>& statusTimer() const { return statusTimer_; }
  const std::optional<platform::NSError>& statusError() const { return statusError_; }

 private:
  bool isScreenshotName(const std::string& name);
  std::string pathForName(const std::string& name);
  void handOnOldestFirst(const std::vector<std::string>& names);
  void handOff(const std::string& path);
  bool isCurrent(const platform::NSURLConnection& connection) const;
  // Starts the upload another way than the built-in request when the settings say so, and gives
  // whether they did.
  bool uploadAsSettingsSay(const platform::Data& file, const std::string& path);
  void uploadThroughCustomUploader(const std::string& uploaderPath, const platform::Data& file,
                                   const std::string& path);
  // An upload that fails before any exchange: its line, the error state and the held error.
  void uploadCouldNotStart(const std::string& reason);
  void addRecentImageItem(platform::NSMenu& submenu, const platform::Value& record,
                          const platform::NSDateFormatter& formatter);

  // Stops observing the visibility notification and leaves the desktop notifications.
  void stopObserving();

  std::string uploadEndpoint_;
  // Fresh screenshots still open for writing: each is handed on once its last writer closes it.
  std::set<std::string> writingFiles_;
  // The fields below are declared in the reverse of the teardown's steps, since members go last
  // first: the pattern, the folder's and the queue's descriptors, the upload in flight (cancelled,
  // then released), the status timer (invalidated, then released), the settings, the snapshot,
  // the status item and the held error, and last the observation.
  TeardownStep stopObservingStep_{[this] { stopObserving(); }};
  std::optional<platform::NSError> statusError_;
  std::shared_ptr<platform::NSStatusItem> statusItem_;
  std::optional<NameSet> seenFiles_;
  std::optional<std::string> scPath_;
  std::optional<std::string> scType_;
  std::shared_ptr<platform::NSTimer> statusTimer_;
  TeardownStep invalidateTimerStep_{[this] {
    if (statusTimer_) statusTimer_->invalidate();
  }};
  // The delegate of currentConnection_ when it is an upload through a custom uploader file.
  std::unique_ptr<CustomUpload> customUpload_;
  std::shared_ptr<platform::NSURLConnection> currentConnection_;
  TeardownStep cancelConnectionStep_{[this] {
    if (currentConnection_) currentConnection_->cancel();
  }};
  platform::FileDescriptor queueFD_;
  platform::FileDescriptor pathFD_;
  CompiledPattern regex_;
};
