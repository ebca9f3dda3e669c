#pragma once
#include <any>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace platform {

using UserInfo = std::map<std::string, std::any>;

struct Notification {
    std::string name;
    UserInfo userInfo;
};

// Synchronous: observers run on the posting thread, in the order they were added.
class NotificationCenter {
public:
    using Observer = const void*;
    using Handler = std::function<void(const Notification&)>;

    static NotificationCenter& defaultCenter();

    void addObserver(Observer observer, std::string name, Handler handler);
    // Removes every registration of the observer (of one name with the second form). Waits for
    // a delivery to it in flight on another thread, so the observer may be destroyed afterwards.
    void removeObserver(Observer observer);
    void removeObserver(Observer observer, const std::string& name);

    void post(const Notification& notification);
    void post(std::string name, UserInfo userInfo = {});

    std::size_t observerCount() const;

private:
    struct Registration {
        Observer observer;
        std::string name;
        Handler handler;
        bool removed = false;
        std::vector<std::thread::id> delivering;
    };
    void remove(Observer observer, const std::string* name);

    mutable std::mutex mutex_;
    std::condition_variable idle_;
    std::vector<std::shared_ptr<Registration>> registrations_;
};

} // namespace platform
