#include "GpioLines.h"

#include <cerrno>
#include <cstring>

#include "SimBoard.h"

namespace sim::gpiolines {

namespace {

int fail(int error) {
    errno = error;
    return -1;
}

void logLine(EventKind kind, const char* path, unsigned offset, int value, int error) {
    Event event;
    event.kind = kind;
    event.path = path;
    event.address = static_cast<int>(offset);
    event.value = value;
    event.result = error == 0 ? 0 : -1;
    event.error = error;
    SimBoard::instance().log(std::move(event));
}

int refusal(const LineRequest& request) {
    SimGpioChip& chip = SimBoard::instance().gpio();
    for (const RequestedLine& wanted : request.lines) {
        if (wanted.offset >= chip.lineCount()) return EINVAL;
        const SimGpioChip::Line& line = chip.line(wanted.offset);
        if (line.heldElsewhere || line.requested) return EBUSY;
    }
    return chip.requestError();
}

int refuse(const LineRequest& request, int error) {
    for (const RequestedLine& wanted : request.lines) {
        logLine(EventKind::GpioRequest, kGpioChipPath, wanted.offset, 0, error);
    }
    return fail(error);
}

void grant(const LineRequest& request) {
    SimBoard& simBoard = SimBoard::instance();
    for (const RequestedLine& wanted : request.lines) {
        SimGpioChip::Line& line = simBoard.gpio().line(wanted.offset);
        line.requested = true;
        line.output = wanted.output;
        line.consumer = request.consumer.empty() ? "?" : request.consumer;
        if (wanted.output) line.value = wanted.value != 0 ? 1 : 0;
        simBoard.gpio().record(wanted.offset, LineChange::Request, line.value, simBoard.clock().nowUs());
        logLine(EventKind::GpioRequest, request.path, wanted.offset, line.value, 0);
    }
}

}  // namespace

int describe(unsigned offset, LineDescription& description) {
    SimGpioChip& chip = SimBoard::instance().gpio();
    if (offset >= chip.lineCount()) return EINVAL;
    if (chip.lineInfoError() != 0) return chip.lineInfoError();
    const SimGpioChip::Line& line = chip.line(offset);
    description = LineDescription{.name = "GPIO" + std::to_string(offset),
                                  .consumer = line.consumer,
                                  .used = line.requested || line.heldElsewhere,
                                  .output = line.output};
    return 0;
}

int request(const LineRequest& request) {
    const int error = refusal(request);
    if (error != 0) return refuse(request, error);
    auto descriptor = std::make_unique<SimBoard::Descriptor>();
    descriptor->kind = request.kind;
    descriptor->path = request.path;
    for (const RequestedLine& wanted : request.lines) descriptor->lines.push_back(wanted.offset);
    const int fd = SimBoard::instance().addDescriptor(std::move(descriptor));
    if (fd < 0) return refuse(request, errno);
    grant(request);
    return fd;
}

int drive(const SimBoard::Descriptor& handle, const std::vector<std::pair<std::size_t, int>>& values) {
    SimBoard& simBoard = SimBoard::instance();
    SimGpioChip& chip = simBoard.gpio();
    for (unsigned offset : handle.lines) {
        if (!chip.line(offset).output) return fail(EPERM);
    }
    const int error = chip.takeSetError();
    for (const auto& [index, driven] : values) {
        const unsigned offset = handle.lines[index];
        const int value = driven != 0 ? 1 : 0;
        if (error == 0) {
            chip.line(offset).value = value;
            chip.record(offset, LineChange::Set, value, simBoard.clock().nowUs());
        }
        logLine(EventKind::GpioSet, handle.path.c_str(), offset, value, error);
    }
    return error == 0 ? 0 : fail(error);
}

int readBack(unsigned offset) {
    return SimBoard::instance().gpio().value(offset) > 0 ? 1 : 0;
}

void release(const SimBoard::Descriptor& handle) {
    SimBoard& simBoard = SimBoard::instance();
    for (unsigned offset : handle.lines) {
        SimGpioChip::Line& line = simBoard.gpio().line(offset);
        simBoard.gpio().record(offset, LineChange::Release, line.value, simBoard.clock().nowUs());
        line.requested = false;
        line.consumer.clear();
        logLine(EventKind::GpioRelease, handle.path.c_str(), offset, line.value, 0);
    }
}

void copyText(char* out, std::size_t size, const std::string& text) {
    std::memset(out, 0, size);
    std::memcpy(out, text.data(), std::min(size - 1, text.size()));
}

}  // namespace sim::gpiolines
