#pragma once
// What the simulated board shows where tools look for buses and chips rather
// than open a path they were given (i2cdetect -l, gpiodetect, ls /dev):
//
//   /dev                                  the host's entries, but its own i2c-N and
//                                         gpiochipN (which answer ENOENT) replaced by
//                                         each bus's i2c-N and gpiochip0 when present
//   /sys/class/i2c-dev                    i2c-N of each bus, with the attributes
//   /sys/class/i2c-dev/i2c-N/{name,dev}   "sim-i2c" and "89:N"
//   /sys/bus/gpio/devices                 gpiochip0 when present, with the attribute
//   /sys/bus/gpio/devices/gpiochip0/dev   "254:0"
//
// The sysfs folders list no "." and "..": they exist only here, and a program
// that looked those up would find nothing. The directory streams are the simulated board's own; every function returns what the
// C library's would, setting errno. Internal to the simulated board.

#include <dirent.h>
#include <stdio.h>

#include <optional>
#include <string>
#include <string_view>

namespace sim::listings {

// Whether the simulated board lists the directory at `path` (it may still be absent
// from this board). Needs no lock and creates no board.
bool listedPath(const char* path);
// Whether `path` is one of the listed sysfs folders (all but /dev), and whether
// that folder exists on this board.
bool sysfsFolder(std::string_view path);
bool folderExists(std::string_view path);
// Whether `path` is a sysfs attribute of a simulated bus or chip.
bool attributePath(std::string_view path);
// The attribute's content, or nothing when its bus or chip does not exist.
std::optional<std::string> attribute(std::string_view path);
// The attribute as a read-only stream (fopen); writing is refused with EACCES.
FILE* openAttribute(const char* path, const char* mode);

DIR* open(const char* path);
// Whether the stream is one of the simulated board's (from `open`).
bool ownStream(DIR* stream);
dirent* next(DIR* stream);
int close(DIR* stream);
// The host's descriptor of the directory; -1 with ENOTSUP when the host has none.
int descriptor(DIR* stream);
void rewind(DIR* stream);
long position(DIR* stream);
void seek(DIR* stream, long position);
int scan(const char* path, dirent*** list, int (*filter)(const dirent*),
         int (*order)(const dirent**, const dirent**));

}  // namespace sim::listings
