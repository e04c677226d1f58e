#include "SharedArea.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>

#include "RealLibc.h"

namespace sim::link {

namespace {

uint32_t load(const uint32_t& word) {
    return __atomic_load_n(&word, __ATOMIC_SEQ_CST);
}

void store(uint32_t& word, uint32_t value) {
    __atomic_store_n(&word, value, __ATOMIC_SEQ_CST);
}

// Shared futexes: the two sides map the area at different addresses.
long futex(uint32_t& word, int operation, uint32_t value, const timespec* timeout) {
    return syscall(SYS_futex, &word, operation, value, timeout, nullptr, 0);
}

// Reached rather than equal: a call made by a signal handler in the middle
// of another call answers a later request, and the one it interrupted must
// not wait for an answer that went by.
bool reached(uint32_t answered, uint32_t sequence) {
    return static_cast<int32_t>(answered - sequence) >= 0;
}

void* mapShared(int fd) {
    return mmap(nullptr, sizeof(SharedArea), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
}

}  // namespace

// The processor's hint that this is a busy wait (it lets a sibling thread
// of the core run).
void pauseBriefly() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

int64_t hostMonotonicUs() {
    timespec now{};
    real::clockGettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1'000'000 + now.tv_nsec / 1000;
}

// --- the board's side -------------------------------------------------------

SharedArea* createArea(int& fd) {
    fd = memfd_create("kestro-board-link", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0) return nullptr;
    // Sealed at its size: a peer cannot shrink it under the board's mapping.
    void* memory = MAP_FAILED;
    if (ftruncate(fd, sizeof(SharedArea)) == 0 &&
        fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) == 0) {
        memory = mapShared(fd);
    }
    if (memory == MAP_FAILED) {
        const int saved = errno;
        close(fd);
        fd = -1;
        errno = saved;
        return nullptr;
    }
    return static_cast<SharedArea*>(memory);
}

void removeArea(SharedArea* area) {
    if (area != nullptr) munmap(area, sizeof *area);
}

bool BoardEnd::hasRequest() const {
    return !answering && load(area->requestSequence) != taken;
}

bool BoardEnd::take(std::vector<uint8_t>& input) {
    const uint32_t sequence = load(area->requestSequence);
    if (answering || sequence == taken) return true;
    Request header;
    std::memcpy(&header, &area->request.header, sizeof header);
    if (header.size > kMaxPayload) return false;
    const auto* bytes = reinterpret_cast<const uint8_t*>(&header);
    input.insert(input.end(), bytes, bytes + sizeof header);
    input.insert(input.end(), area->request.payload, area->request.payload + header.size);
    taken = sequence;
    answering = true;
    return true;
}

void BoardEnd::deliver(std::vector<uint8_t>& output) {
    if (!answering || output.size() < sizeof(Answer)) return;
    std::memcpy(&area->answer.header, output.data(), sizeof(Answer));
    const std::size_t size = std::min<std::size_t>(output.size() - sizeof(Answer), kMaxPayload);
    std::memcpy(area->answer.payload, output.data() + sizeof(Answer), size);
    output.clear();
    answering = false;
    store(area->answerSequence, taken);
    if (load(area->programSleeps) != 0) futex(area->answerSequence, FUTEX_WAKE, INT_MAX, nullptr);
}

void BoardEnd::announceSleep(bool sleeps) {
    store(area->boardSleeps, sleeps ? 1 : 0);
}

// --- the program's side -----------------------------------------------------

SharedArea* mapArea(int fd) {
    struct stat status {};
    if (real::fstat(fd, &status) != 0) return nullptr;
    if (status.st_size < static_cast<off_t>(sizeof(SharedArea))) {
        errno = EPROTO;
        return nullptr;
    }
    void* memory = mapShared(fd);
    return memory == MAP_FAILED ? nullptr : static_cast<SharedArea*>(memory);
}

void unmapArea(SharedArea* area) {
    removeArea(area);
}

bool postRequest(SharedArea& area, uint32_t sequence, const Request& request, const void* payload) {
    area.request.header = request;
    if (request.size > 0) std::memcpy(area.request.payload, payload, request.size);
    store(area.requestSequence, sequence);
    return load(area.boardSleeps) != 0;
}

bool awaitAnswer(SharedArea& area, uint32_t sequence, int socket, Spinner& spinner) {
    if (spinner.spin([&] { return reached(load(area.answerSequence), sequence); })) return true;
    bool alive = true;
    for (;;) {
        store(area.programSleeps, 1);
        const uint32_t seen = load(area.answerSequence);
        if (reached(seen, sequence)) break;
        const timespec slice{0, kWaitSliceMs * 1000000L};
        // After its offer the board writes nothing on the socket but the bells
        // of the program's waits: its end, or an error, is the board's end.
        if (futex(area.answerSequence, FUTEX_WAIT, seen, &slice) != 0 && errno == ETIMEDOUT &&
            !takeBells(socket)) {
            alive = false;
            break;
        }
    }
    store(area.programSleeps, 0);
    return alive;
}

bool readAnswer(const SharedArea& area, Answer& answer, std::vector<uint8_t>& payload) {
    std::memcpy(&answer, &area.answer.header, sizeof answer);
    if (answer.size > kMaxPayload) return false;
    payload.assign(area.answer.payload, area.answer.payload + answer.size);
    return true;
}

}  // namespace sim::link
