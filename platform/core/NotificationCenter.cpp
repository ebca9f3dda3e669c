#include "platform/core/NotificationCenter.h"

#include <algorithm>
#include <thread>

namespace platform {

NotificationCenter& NotificationCenter::defaultCenter() {
    static NotificationCenter center;
    return center;
}

void NotificationCenter::addObserver(Observer observer, std::string name, Handler handler) {
    auto reg = std::make_shared<Registration>();
    reg->observer = observer;
    reg->name = std::move(name);
    reg->handler = std::move(handler);
    std::lock_guard lock(mutex_);
    registrations_.push_back(std::move(reg));
}

void NotificationCenter::remove(Observer observer, const std::string* name) {
    const auto self = std::this_thread::get_id();
    std::unique_lock lock(mutex_);
    std::vector<std::shared_ptr<Registration>> removed;
    std::erase_if(registrations_, [&](const std::shared_ptr<Registration>& reg) {
        if (reg->observer != observer || (name && reg->name != *name)) return false;
        reg->removed = true;
        removed.push_back(reg);
        return true;
    });
    idle_.wait(lock, [&] {
        return std::all_of(removed.begin(), removed.end(), [&](const auto& reg) {
            return std::all_of(reg->delivering.begin(), reg->delivering.end(),
                               [&](std::thread::id id) { return id == self; });
        });
    });
}

void NotificationCenter::removeObserver(Observer observer) {
    remove(observer, nullptr);
}

void NotificationCenter::removeObserver(Observer observer, const std::string& name) {
    remove(observer, &name);
}

void NotificationCenter::post(const Notification& notification) {
    const auto self = std::this_thread::get_id();
    std::vector<std::shared_ptr<Registration>> targets;
    {
        std::lock_guard lock(mutex_);
        for (const auto& reg : registrations_)
            if (reg->name == notification.name) targets.push_back(reg);
    }
    for (const auto& reg : targets) {
        {
            std::lock_guard lock(mutex_);
            if (reg->removed) continue;
            reg->delivering.push_back(self);
        }
        reg->handler(notification);
        {
            std::lock_guard lock(mutex_);
            auto it = std::find(reg->delivering.begin(), reg->delivering.end(), self);
            if (it != reg->delivering.end()) reg->delivering.erase(it);
        }
        idle_.notify_all();
    }
}

void NotificationCenter::post(std::string name, UserInfo userInfo) {
    post(Notification{std::move(name), std::move(userInfo)});
}

std::size_t NotificationCenter::observerCount() const {
    std::lock_guard lock(mutex_);
    return registrations_.size();
}

} // namespace platform
