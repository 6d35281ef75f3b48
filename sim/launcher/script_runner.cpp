#include "script_runner.h"

#include <exception>

namespace ftdisim {

using Clock = std::chrono::steady_clock;

ScriptRunner::ScriptRunner(const ConverterScript &script,
                           std::optional<std::chrono::milliseconds> unplug_after, Testbed &testbed,
                           std::vector<SimDevice> &devices, Transcript &transcript,
                           Clock::time_point start)
    : script_(script),
      unplug_after_(unplug_after),
      testbed_(testbed),
      devices_(devices),
      transcript_(transcript),
      start_(start),
      thread_([this](std::stop_token stop) { Run(std::move(stop)); }) {}

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
            Perform(script_.events[next++]);
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

void ScriptRunner::Perform(const ScriptEvent &event) {
    using A = ScriptEvent::Action;
    const std::string note = "script line " + std::to_string(event.line) + ": " + event.text;
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
            transcript_.Note(d.serial,
                             "script line " + std::to_string(event.line) + " failed: " + e.what());
            continue;
        }
        if (!done) {
            transcript_.Note(d.serial,
                             "script line " + std::to_string(event.line) + " not possible now");
        }
    }
}

}  // namespace ftdisim
