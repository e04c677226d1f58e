#pragma once

// What code under test prints, captured at the descriptors, so output written
// with write(2) is caught as well as the C and C++ streams.

#include <gtest/gtest.h>

#include <string>

struct Console {
    std::string out;
    std::string err;
};

template <typename Action>
Console captureConsole(Action action) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    action();
    Console console;
    console.err = testing::internal::GetCapturedStderr();
    console.out = testing::internal::GetCapturedStdout();
    return console;
}

template <typename Action>
std::string stdoutOf(Action action) {
    testing::internal::CaptureStdout();
    action();
    return testing::internal::GetCapturedStdout();
}
