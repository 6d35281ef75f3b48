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
    // scenario's repetition). Everything referenced must outlive the runner.
    ScriptRunner(const ConverterScript &script,
                 std::optional<std::chrono::milliseconds> unplug_after, Testbed &testbed,
                 std::vector<SimDevice> &devices, Transcript &transcript,
                 std::chrono::steady_clock::time_point start);
    // Stops at the next event boundary and joins.
    ~ScriptRunner() = default;
    ScriptRunner(const ScriptRunner &) = delete;
    ScriptRunner &operator=(const ScriptRunner &) = delete;

  private:
    void Run(std::stop_token stop);
    void Perform(const ScriptEvent &event);
    void UnplugAll();

    const ConverterScript &script_;
    const std::optional<std::chrono::milliseconds> unplug_after_;
    Testbed &testbed_;
    std::vector<SimDevice> &devices_;
    Transcript &transcript_;
    const std::chrono::steady_clock::time_point start_;
    std::mutex mutex_;  // only for waiting on wake_
    std::condition_variable_any wake_;
    std::jthread thread_;  // last: started once everything above is set
};

}  // namespace ftdisim
