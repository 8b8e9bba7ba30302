#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/foundation/NotificationCenter.h"

namespace telvo {

// NSObject(NotifiCenter): the notification registrations of one receiver, one per name. The
// receiver holds it as a member; its destruction removes every registration. Adding and
// removing are synchronous and thread-safe: once a removal returns, the handler is not
// running on another thread and will not run again. Handlers run where the notification is
// posted.
class NotifiCenter {
  public:
    explicit NotifiCenter(
        std::shared_ptr<NotificationCenter> center = NotificationCenter::defaultCenter())
        : center_(std::move(center)) {}
    ~NotifiCenter();
    NotifiCenter(const NotifiCenter&) = delete;
    NotifiCenter& operator=(const NotifiCenter&) = delete;

    // Observes name (about object only, when given); a name already observed is left as it is.
    void addNotifiCenterObserverName(const std::string& name, NotificationBlock handler,
                                     std::shared_ptr<void> object = nullptr);
    // Ends the observation of name.
    void removeNotifiCenterObserverName(const std::string& name,
                                        const std::shared_ptr<void>& object = nullptr);

  private:
    const std::shared_ptr<NotificationCenter> center_;
    std::mutex mutex_;
    std::map<std::string, NotificationObserverToken> tokens_;
};

}  // namespace telvo
