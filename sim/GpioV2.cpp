#include "GpioV2.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

#include "SimBoard.h"
#include "GpioLines.h"

namespace sim::gpiov2 {

namespace {

constexpr const char* kGpioBus = "/sys/bus/gpio";

int fail(int error) {
    errno = error;
    return -1;
}

template <typename Padding>
bool cleared(const Padding& padding) {
    return std::all_of(std::begin(padding), std::end(padding), [](auto word) { return word == 0; });
}

bool covers(uint64_t mask, std::size_t index) {
    return ((mask >> index) & 1U) != 0;
}

// The first attribute of this kind whose mask covers the line, as the kernel takes it.
const gpio_v2_line_attribute* attributeFor(const gpio_v2_line_config& config, uint32_t id,
                                           std::size_t index) {
    for (uint32_t i = 0; i < config.num_attrs; ++i) {
        const gpio_v2_line_config_attribute& entry = config.attrs[i];
        if (entry.attr.id == id && covers(entry.mask, index)) return &entry.attr;
    }
    return nullptr;
}

uint64_t lineFlags(const gpio_v2_line_config& config, std::size_t index) {
    const gpio_v2_line_attribute* flags = attributeFor(config, GPIO_V2_LINE_ATTR_ID_FLAGS, index);
    return flags != nullptr ? flags->flags : config.flags;
}

int outputValue(const gpio_v2_line_config& config, std::size_t index) {
    const gpio_v2_line_attribute* values =
        attributeFor(config, GPIO_V2_LINE_ATTR_ID_OUTPUT_VALUES, index);
    return values != nullptr && covers(values->values, index) ? 1 : 0;
}

bool malformed(const gpio_v2_line_request& request) {
    return request.num_lines == 0 || request.num_lines > GPIO_V2_LINES_MAX ||
           request.config.num_attrs > GPIO_V2_LINE_NUM_ATTRS_MAX || !cleared(request.padding) ||
           !cleared(request.config.padding);
}

int setValues(const SimBoard::Descriptor& handle, const gpio_v2_line_values* values) {
    if (values->mask == 0) return fail(EINVAL);
    std::vector<std::pair<std::size_t, int>> driven;
    for (std::size_t i = 0; i < handle.lines.size(); ++i) {
        if (covers(values->mask, i)) driven.emplace_back(i, covers(values->bits, i) ? 1 : 0);
    }
    return gpiolines::drive(handle, driven);
}

int getValues(const SimBoard::Descriptor& handle, gpio_v2_line_values* values) {
    if (values->mask == 0) return fail(EINVAL);
    values->bits = 0;
    for (std::size_t i = 0; i < handle.lines.size(); ++i) {
        if (covers(values->mask, i) && gpiolines::readBack(handle.lines[i]) != 0) {
            values->bits |= uint64_t{1} << i;
        }
    }
    return 0;
}

}  // namespace

int lineInfo(gpio_v2_line_info* info) {
    if (!cleared(info->padding)) return fail(EINVAL);
    const unsigned offset = info->offset;
    gpiolines::LineDescription line;
    if (const int error = gpiolines::describe(offset, line); error != 0) return fail(error);
    std::memset(info, 0, sizeof *info);
    info->offset = offset;
    gpiolines::copyText(info->name, sizeof info->name, line.name);
    gpiolines::copyText(info->consumer, sizeof info->consumer, line.consumer);
    info->flags = line.output ? GPIO_V2_LINE_FLAG_OUTPUT : GPIO_V2_LINE_FLAG_INPUT;
    if (line.used) info->flags |= GPIO_V2_LINE_FLAG_USED;
    return 0;
}

int lineRequest(gpio_v2_line_request* request) {
    if (malformed(*request)) return fail(EINVAL);
    gpiolines::LineRequest wanted{
        .lines = {},
        .consumer = std::string(request->consumer, strnlen(request->consumer, sizeof request->consumer)),
        .kind = SimBoard::Descriptor::Kind::GpioLineRequest,
        .path = gpiolines::kLineHandlePath};
    for (std::size_t i = 0; i < request->num_lines; ++i) {
        const uint64_t flags = lineFlags(request->config, i);
        const bool output = (flags & GPIO_V2_LINE_FLAG_OUTPUT) != 0;
        if (output && (flags & GPIO_V2_LINE_FLAG_INPUT) != 0) return fail(EINVAL);
        wanted.lines.push_back({request->offsets[i], output, outputValue(request->config, i)});
    }
    const int fd = gpiolines::request(wanted);
    if (fd < 0) return -1;
    request->fd = fd;
    return 0;
}

int requestIoctl(const SimBoard::Descriptor& lineRequest, unsigned long request, void* argument) {
    switch (request) {
        case GPIO_V2_LINE_SET_VALUES_IOCTL:
            return setValues(lineRequest, static_cast<const gpio_v2_line_values*>(argument));
        case GPIO_V2_LINE_GET_VALUES_IOCTL:
            return getValues(lineRequest, static_cast<gpio_v2_line_values*>(argument));
        default:
            return fail(ENOTTY);
    }
}

bool isSubsystemLink(const char* path) {
    static const std::string link = "/sys/dev/char/" + std::to_string(kGpioMajor) + ":" +
                                    std::to_string(kGpioMinor) + "/subsystem";
    return path != nullptr && link == path;
}

char* resolveSubsystemLink(char* resolved) {
    if (!SimBoard::instance().gpio().present()) {
        errno = ENOENT;
        return nullptr;
    }
    if (resolved == nullptr) return strdup(kGpioBus);
    return std::strcpy(resolved, kGpioBus);
}

}  // namespace sim::gpiov2
