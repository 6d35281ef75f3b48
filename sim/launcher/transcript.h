// The launcher's transcript: one line per piece of traffic between a host
// program and a simulated converter, and one per scripted event.
//
//   <seconds> [<serial>] host->converter|converter->host <hex bytes> (<what>)
//   # <seconds> [<serial>] <note>
//
// <seconds> is the time since the launcher started the program, with
// milliseconds. The serial number appears only when more than one device
// is simulated.
#pragma once

#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "converter/wiegand_converter.h"

namespace ftdisim {

class Transcript {
  public:
    // Writes to `file` (taken over, closed on destruction); a null file makes
    // every call a no-op.
    Transcript(std::FILE *file, std::chrono::steady_clock::time_point start, bool tag_devices);

    // Safe from any thread; each line is flushed at once so that a reader
    // sees it while the program still runs.
    void Record(std::string_view serial, const LinkRecord &record);
    void Note(std::string_view serial, std::string_view text);

    // "(reset)", "(garbage)", "(garbled: line at 19200 7E1)"
    static std::string Summary(const LinkRecord &record);

  private:
    std::string Stamp(std::chrono::steady_clock::time_point when) const;
    void WriteLine(const std::string &line);

    struct FileCloser {
        void operator()(std::FILE *f) const { std::fclose(f); }
    };

    const std::chrono::steady_clock::time_point start_;
    const bool tag_devices_;
    std::mutex mutex_;
    std::unique_ptr<std::FILE, FileCloser> file_;  // guarded by mutex_
};

}  // namespace ftdisim
