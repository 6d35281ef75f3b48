// Plays a converter scenario against the simulated devices while the
// program runs: badge reports, tamper and GPIO changes, raw bytes, unplugs.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "converter/converter_script.h"
#include "ftdisim.h"
#include "transcript.h"

namespace ftdisim {

// One simulated device of the launcher: the chip and the converter wired to
// its first interface.
struct SimDevice {
    Chip *chip = nullptr;
    std::unique_ptr<WiegandConverter> converter;
    std::string serial;
};

class ScriptRunner {
  public:
    // Starts playing at once. Times count from `start`. `unplug_after`, when
    // set, unplugs every device once at that time (independent of the
    // scenario's repetition). `control_fd`, when not -1, is a named pipe
    // opened for reading: each line written to it is an action as a scenario
    // line has it, without the time, and is played as it comes; the runner
    // closes it. Everything referenced must outlive the runner.
    ScriptRunner(const ConverterScript &script,
                 std::optional<std::chrono::milliseconds> unplug_after, Testbed &testbed,
                 std::vector<SimDevice> &devices, Transcript &transcript,
                 std::chrono::steady_clock::time_point start, int control_fd = -1);
    // Stops at the next event boundary and joins.
    ~ScriptRunner();
    ScriptRunner(const ScriptRunner &) = delete;
    ScriptRunner &operator=(const ScriptRunner &) = delete;

  private:
    void Run(std::stop_token stop);
    void ReadControl(std::stop_token stop);
    // `label` names the event's origin in the transcript's notes.
    void Perform(const ScriptEvent &event, const std::string &label);
    void UnplugAll();

    const ConverterScript &script_;
    const std::optional<std::chrono::milliseconds> unplug_after_;
    Testbed &testbed_;
    std::vector<SimDevice> &devices_;
    Transcript &transcript_;
    const std::chrono::steady_clock::time_point start_;
    const int control_fd_;
    std::mutex mutex_;  // only for waiting on wake_
    std::condition_variable_any wake_;
    // One event at a time, whether from the scenario or the control pipe.
    std::mutex perform_mutex_;
    std::jthread thread_;  // last two: started once everything above is set
    std::jthread control_thread_;
};

}  // namespace ftdisim
