#pragma once
// The simulated GPIO chip 0 for the real libgpiod 1.6 (v1 character-device
// uAPI). When present, /dev/gpiochip0 is a character device whose rdev
// matches /sys/bus/gpio/devices/gpiochip0/dev; when absent (the default), both
// paths answer ENOENT whatever the host has. Any other /dev/gpiochipN always
// answers ENOENT.
//
// Ioctls answered: GPIO_GET_CHIPINFO_IOCTL, GPIO_GET_LINEINFO_IOCTL (name,
// flags, consumer label), GPIO_GET_LINEHANDLE_IOCTL (returns a new descriptor),
// GPIOHANDLE_SET_LINE_VALUES_IOCTL and GPIOHANDLE_GET_LINE_VALUES_IOCTL on the
// handle. Closing the handle releases its lines.

#include <cerrno>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "SimNode.h"

namespace sim {

inline constexpr const char* kGpioChipPath = "/dev/gpiochip0";
inline constexpr unsigned kGpioMajor = 254;
inline constexpr unsigned kGpioMinor = 0;

enum class LineChange { Request, Set, Release };

// One change of a line, time-stamped by the simulated board's clock.
struct LineEvent {
    unsigned offset = 0;
    LineChange change = LineChange::Set;
    int value = 0;  // value driven (Request: the initial value; Release: last value)
    uint64_t timeUs = 0;
    std::string consumer{};  // label of the request
};

class SimGpioChip {
  public:
    void setPresent(bool present) { present_ = present; }
    bool present() const { return present_; }

    void setLineCount(unsigned lines) { lineCount_ = lines; }
    unsigned lineCount() const { return lineCount_; }
    std::string name() const { return "gpiochip0"; }
    std::string label() const { return "sim-gpio"; }

    // Another program holds the line: requests fail with EBUSY and line info
    // reports it used, with this consumer label.
    void holdLine(unsigned offset, const std::string& consumer);
    // Line info fails with `error` (so gpiod_chip_get_line returns null).
    void failLineInfo(int error = EIO) { lineInfoError_ = error; }
    // Line-handle requests fail with `error` (besides the EBUSY of a held line).
    void failRequest(int error) { requestError_ = error; }
    // Value sets fail with `error`: the next one only, or all from now on.
    void failNextSet(int error = EIO) { setError_ = error, setErrorPersists_ = false; }
    void failSets(int error = EIO) { setError_ = error, setErrorPersists_ = true; }

    // Current state of a line: its value (-1 when never driven), whether this
    // process holds it, and its consumer label ("" when free).
    int value(unsigned offset) const;
    bool requested(unsigned offset) const;
    std::string consumer(unsigned offset) const;
    const std::vector<LineEvent>& history() const { return history_; }
    std::vector<LineEvent> history(unsigned offset) const;

    // Chip side, used by the interposer.
    struct Line {
        int value = -1;
        bool requested = false;  // by this process, through a handle
        bool heldElsewhere = false;
        bool output = false;
        std::string consumer;
    };
    int lineInfoError() const { return lineInfoError_; }
    int requestError() const { return requestError_; }
    int takeSetError();
    Line& line(unsigned offset) { return lines_[offset]; }
    void record(unsigned offset, LineChange change, int value, uint64_t timeUs);

  private:
    bool present_ = false;
    unsigned lineCount_ = 32;
    int lineInfoError_ = 0;
    int requestError_ = 0;
    int setError_ = 0;
    bool setErrorPersists_ = false;
    std::map<unsigned, Line> lines_;
    std::vector<LineEvent> history_;
};

}  // namespace sim
