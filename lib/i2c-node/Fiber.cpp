#include "Fiber.h"

#include <sys/mman.h>

#include <new>
#include <utility>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/common_interface_defs.h>
#define KESTRO_FIBER_ASAN 1
#endif

#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#define KESTRO_FIBER_VALGRIND 1
#endif

namespace {

// Node exchanges keep frames of a few KiB on the stack; the sanitizers' frames are larger.
// Only the pages touched are ever backed by memory.
constexpr std::size_t kStackSize = 1024 * 1024;
constexpr std::size_t kGuardSize = 64 * 1024;

thread_local Fiber* running = nullptr;

// Switching stacks behind the sanitizer's back makes it report the other stack's frames as
// overflows; these tell it which stack comes next. They do nothing in a plain build.
void startSwitch([[maybe_unused]] void** fakeStack, [[maybe_unused]] const void* bottom,
                 [[maybe_unused]] std::size_t size) {
#ifdef KESTRO_FIBER_ASAN
    __sanitizer_start_switch_fiber(fakeStack, bottom, size);
#endif
}

void finishSwitch([[maybe_unused]] void* fakeStack, [[maybe_unused]] const void** bottom,
                  [[maybe_unused]] std::size_t* size) {
#ifdef KESTRO_FIBER_ASAN
    __sanitizer_finish_switch_fiber(fakeStack, bottom, size);
#endif
}

}  // namespace

Fiber::Fiber(std::function<void()> body) : _body(std::move(body)) {
    _stackSize = kStackSize + kGuardSize;
    _stack = ::mmap(nullptr, _stackSize, PROT_READ | PROT_WRITE,
                    MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK, -1, 0);
    if (_stack == MAP_FAILED) {
        throw std::bad_alloc();
    }
    // The lowest pages stay unmapped for access, so an overflow faults instead of writing
    // over whatever lies below.
    ::mprotect(_stack, kGuardSize, PROT_NONE);
    char* base = static_cast<char*>(_stack) + kGuardSize;
#ifdef KESTRO_FIBER_VALGRIND
    _valgrindStack = VALGRIND_STACK_REGISTER(base, base + kStackSize);
#endif
    getcontext(&_context);
    _context.uc_stack.ss_sp = base;
    _context.uc_stack.ss_size = kStackSize;
    _context.uc_link = nullptr;
    makecontext(&_context, &Fiber::enter, 0);
}

Fiber::~Fiber() {
#ifdef KESTRO_FIBER_VALGRIND
    VALGRIND_STACK_DEREGISTER(_valgrindStack);
#endif
    ::munmap(_stack, _stackSize);
}

Fiber* Fiber::current() {
    return running;
}

void Fiber::resume() {
    if (_finished) {
        return;
    }
    Fiber* outer = std::exchange(running, this);
    switchIn();
    running = outer;
    if (_escaped) {
        std::rethrow_exception(std::exchange(_escaped, nullptr));
    }
}

void Fiber::yield() {
    if (running != nullptr) {
        running->switchOut();
    }
}

void Fiber::switchIn() {
    void* callerFake = nullptr;
    startSwitch(&callerFake, static_cast<char*>(_stack) + kGuardSize, kStackSize);
    swapcontext(&_caller, &_context);
    finishSwitch(callerFake, nullptr, nullptr);
}

void Fiber::switchOut() {
    startSwitch(_finished ? nullptr : &_fakeStack, _callerBottom, _callerSize);
    swapcontext(&_context, &_caller);
    finishSwitch(_fakeStack, &_callerBottom, &_callerSize);
}

void Fiber::enter() {
    Fiber* self = running;
    finishSwitch(nullptr, &self->_callerBottom, &self->_callerSize);
    try {
        self->_body();
    } catch (...) {
        self->_escaped = std::current_exception();
    }
    self->_finished = true;
    // A finished body is never resumed again: this switch does not come back.
    self->switchOut();
}
