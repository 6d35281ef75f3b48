#include "device_wakeup.h"

#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <future>

namespace {

// The caller's side of the library's event notification. Never destroyed:
// see DeviceWakeup.
EVENT_HANDLE gEvent = {PTHREAD_COND_INITIALIZER, PTHREAD_MUTEX_INITIALIZER, 0};
// The watcher ends when this is set; guarded by gEvent.eMutex.
bool gStopWatching = false;

}  // namespace

DeviceWakeup::DeviceWakeup(FT_HANDLE handle) : handle_(handle) {
    if (handle_ == nullptr) return;
    fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd_ == -1) return;

    gStopWatching = false;
    // The watcher takes no signal: the terminal's handlers run on the main
    // thread or the library's.
    sigset_t all;
    sigfillset(&all);
    sigset_t before;
    pthread_sigmask(SIG_BLOCK, &all, &before);
    std::promise<void> holding;
    watcher_ = std::thread([this, &holding] {
        pthread_mutex_lock(&gEvent.eMutex);
        holding.set_value();
        Watch();
        pthread_mutex_unlock(&gEvent.eMutex);
    });
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    // The watcher holds the mutex from before `holding` is set until it
    // waits, so once the mutex is ours here it waits: any signal from now on
    // reaches it.
    holding.get_future().wait();
    pthread_mutex_lock(&gEvent.eMutex);
    pthread_mutex_unlock(&gEvent.eMutex);

    armed_ = FT_SetEventNotification(handle_, FT_EVENT_RXCHAR, &gEvent) == FT_OK;
}

DeviceWakeup::~DeviceWakeup() {
    if (armed_) FT_SetEventNotification(handle_, 0, &gEvent);
    if (watcher_.joinable()) {
        pthread_mutex_lock(&gEvent.eMutex);
        gStopWatching = true;
        pthread_cond_broadcast(&gEvent.eCondVar);
        pthread_mutex_unlock(&gEvent.eMutex);
        watcher_.join();
    }
    if (fd_ != -1) close(fd_);
}

// Runs with gEvent.eMutex held, released only while waiting: the library
// signals under that mutex, so it signals only while the watcher waits, and
// no signal falls between two waits. Signals that come while the descriptor
// is already readable fold into one wake-up.
void DeviceWakeup::Watch() {
    while (!gStopWatching) {
        pthread_cond_wait(&gEvent.eCondVar, &gEvent.eMutex);
        if (gStopWatching) break;
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = write(fd_, &one, sizeof one);
    }
}

void DeviceWakeup::Collect() {
    if (!armed_) return;
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t n = read(fd_, &count, sizeof count);
    DWORD status = 0;
    FT_GetEventStatus(handle_, &status);
}
