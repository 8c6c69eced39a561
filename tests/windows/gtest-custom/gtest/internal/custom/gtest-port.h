// GoogleTest's port customisation for the MinGW-w64 cross build of the
// tests. The win32 thread model of Debian's MinGW has no std::mutex or
// std::condition_variable, which GoogleTest's Notification is built on; this
// one waits on an atomic flag instead. GoogleTest uses it only to start the
// threads of its own thread helpers, which the tests do not use.
#ifndef ZIPEXT_GTEST_CUSTOM_PORT_H
#define ZIPEXT_GTEST_CUSTOM_PORT_H

#include <atomic>

namespace testing {
namespace internal {

class Notification {
public:
    void Notify() { notified_.store(true); }
    void WaitForNotification()
    {
        while (!notified_.load()) {
        }
    }

private:
    std::atomic<bool> notified_{false};
};

} // namespace internal
} // namespace testing

#define GTEST_HAS_NOTIFICATION_ 1

#endif
