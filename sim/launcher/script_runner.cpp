#include "script_runner.h"

#include <poll.h>
#include <unistd.h>

#include <exception>

namespace ftdisim {

using Clock = std::chrono::steady_clock;

ScriptRunner::ScriptRunner(const ConverterScript &script,
                           std::optional<std::chrono::milliseconds> unplug_after, Testbed &testbed,
                           std::vector<SimDevice> &devices, Transcript &transcript,
                           Clock::time_point start, int control_fd)
    : script_(script),
      unplug_after_(unplug_after),
      testbed_(testbed),
      devices_(devices),
      transcript_(transcript),
      start_(start),
      control_fd_(control_fd),
      thread_([this](std::stop_token stop) { Run(std::move(stop)); }) {
    if (control_fd_ != -1) {
        control_thread_ = std::jthread([this](std::stop_token stop) { ReadControl(stop); });
    }
}

ScriptRunner::~ScriptRunner() {
    if (control_thread_.joinable()) {
        control_thread_.request_stop();
        control_thread_.join();
    }
    if (control_fd_ != -1) close(control_fd_);
}

void ScriptRunner::ReadControl(std::stop_token stop) {
    const ConverterMode mode = devices_.front().converter->Mode();
    const int devices = static_cast<int>(devices_.size());
    std::string pending;
    while (!stop.stop_requested()) {
        struct pollfd p = {control_fd_, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        char buf[512];
        const ssize_t n = read(control_fd_, buf, sizeof buf);
        if (n <= 0) continue;
        pending.append(buf, static_cast<size_t>(n));
        for (size_t nl; (nl = pending.find('\n')) != std::string::npos;) {
            const std::string line = pending.substr(0, nl);
            pending.erase(0, nl + 1);
            ConverterScript one;
            std::string error;
            if (!ParseConverterScript("0 " + line, mode, devices, &one, &error) ||
                one.events.size() != 1) {
                transcript_.Note("", "control: '" + line + "' ignored: " +
                                         (error.empty() ? "not one action" : error));
                continue;
            }
            one.events.front().text.erase(0, 2);  // the time put in front above
            Perform(one.events.front(), "control");
        }
    }
}

void ScriptRunner::Run(std::stop_token stop) {
    size_t next = 0;
    Clock::time_point round = start_;  // when the current repetition began
    bool unplug_pending = unplug_after_.has_value();
    for (;;) {
        if (next == script_.events.size() && script_.restart.count() > 0) {
            round += script_.restart;
            next = 0;
        }
        std::optional<Clock::time_point> due;
        if (next < script_.events.size()) due = round + script_.events[next].at;
        const bool unplug_first = unplug_pending && (!due || start_ + *unplug_after_ <= *due);
        if (unplug_first) due = start_ + *unplug_after_;
        if (!due) return;  // nothing left to play

        {
            std::unique_lock lock(mutex_);
            if (wake_.wait_until(lock, stop, *due, [] { return false; }) || stop.stop_requested()) {
                return;
            }
        }
        if (unplug_first) {
            unplug_pending = false;
            transcript_.Note("", "unplug-after: unplugging");
            UnplugAll();
        } else {
            const ScriptEvent &event = script_.events[next++];
            Perform(event, "script line " + std::to_string(event.line));
        }
    }
}

void ScriptRunner::UnplugAll() {
    for (SimDevice &d : devices_) {
        try {
            if (d.chip->Plugged()) testbed_.Unplug(*d.chip);
        } catch (const std::exception &e) {
            transcript_.Note(d.serial, std::string("unplug failed: ") + e.what());
        }
    }
}

void ScriptRunner::Perform(const ScriptEvent &event, const std::string &label) {
    using A = ScriptEvent::Action;
    std::scoped_lock lock(perform_mutex_);
    const std::string note = label + ": " + event.text;
    for (size_t i = 0; i < devices_.size(); ++i) {
        if (event.device != 0 && static_cast<size_t>(event.device) != i + 1) continue;
        SimDevice &d = devices_[i];
        // The note goes first so that it precedes the traffic it causes.
        transcript_.Note(d.serial, note);
        bool done = false;
        try {
            switch (event.action) {
                case A::kUnplug:
                    done = d.chip->Plugged();
                    if (done) testbed_.Unplug(*d.chip);
                    break;
                case A::kReplug:
                    done = !d.chip->Plugged();
                    if (done) testbed_.Replug(*d.chip);
                    break;
                default:
                    done = ApplyToConverter(event, *d.converter);
                    break;
            }
        } catch (const std::exception &e) {
            transcript_.Note(d.serial, label + " failed: " + e.what());
            continue;
        }
        if (!done) {
            transcript_.Note(d.serial, label + " not possible now");
        }
    }
}

}  // namespace ftdisim
