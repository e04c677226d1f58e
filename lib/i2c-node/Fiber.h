#pragma once

#include <ucontext.h>

#include <cstddef>
#include <exception>
#include <functional>

/// A body of code with a stack of its own, run in slices on the thread that resumes it: it
/// runs until it yields or ends, and the next resume carries on where it yielded. This is what
/// lets a node's blocking exchange step aside at a wait without being rewritten.
class Fiber {
  public:
    explicit Fiber(std::function<void()> body);
    ~Fiber();
    Fiber(const Fiber&) = delete;
    Fiber& operator=(const Fiber&) = delete;

    /// Runs the body until it yields or ends; rethrows what the body let escape.
    void resume();
    bool finished() const { return _finished; }

    /// From inside a body: back to the code that resumed it.
    static void yield();
    /// The fiber running on this thread, or nothing outside one.
    static Fiber* current();

  private:
    static void enter();
    void switchIn();
    void switchOut();

    std::function<void()> _body;
    void* _stack = nullptr;
    std::size_t _stackSize = 0;
    ucontext_t _context{};
    ucontext_t _caller{};
    bool _finished = false;
    std::exception_ptr _escaped;
    unsigned _valgrindStack = 0;
    // Where the thread's own stack is, for the address sanitizer's bookkeeping.
    const void* _callerBottom = nullptr;
    std::size_t _callerSize = 0;
    void* _fakeStack = nullptr;
};
