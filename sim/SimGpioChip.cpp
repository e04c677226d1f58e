#include "SimGpioChip.h"

#include <algorithm>

namespace sim {

void SimGpioChip::holdLine(unsigned offset, const std::string& consumer) {
    Line& held = lines_[offset];
    held.heldElsewhere = true;
    held.consumer = consumer;
}

int SimGpioChip::value(unsigned offset) const {
    auto it = lines_.find(offset);
    return it == lines_.end() ? -1 : it->second.value;
}

bool SimGpioChip::requested(unsigned offset) const {
    auto it = lines_.find(offset);
    return it != lines_.end() && it->second.requested;
}

std::string SimGpioChip::consumer(unsigned offset) const {
    auto it = lines_.find(offset);
    return it == lines_.end() ? std::string() : it->second.consumer;
}

std::vector<LineEvent> SimGpioChip::history(unsigned offset) const {
    std::vector<LineEvent> found;
    std::copy_if(history_.begin(), history_.end(), std::back_inserter(found),
                 [offset](const LineEvent& e) { return e.offset == offset; });
    return found;
}

int SimGpioChip::takeSetError() {
    const int error = setError_;
    if (!setErrorPersists_) setError_ = 0;
    return error;
}

void SimGpioChip::record(unsigned offset, LineChange change, int value, uint64_t timeUs) {
    history_.push_back(LineEvent{.offset = offset,
                                 .change = change,
                                 .value = value,
                                 .timeUs = timeUs,
                                 .consumer = lines_[offset].consumer});
}

}  // namespace sim
