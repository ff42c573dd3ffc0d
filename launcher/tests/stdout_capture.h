// Captures what this process writes through its standard output handle while a scope runs.
#pragma once

#include "base/win32.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

class StdoutCapture {
public:
    StdoutCapture() {
        EXPECT_TRUE(::CreatePipe(&read_, &write_, nullptr, 0));
        saved_ = ::GetStdHandle(STD_OUTPUT_HANDLE);
        ::SetStdHandle(STD_OUTPUT_HANDLE, write_);
        reader_ = std::thread([this] {
            char buffer[4096];
            DWORD got = 0;
            while (::ReadFile(read_, buffer, sizeof buffer, &got, nullptr) && got > 0)
                bytes_.append(buffer, got);
        });
    }
    ~StdoutCapture() { finish(); }

    // Puts the real standard output back and returns everything written meanwhile.
    const std::string& finish() {
        if (write_) {
            ::SetStdHandle(STD_OUTPUT_HANDLE, saved_);
            ::CloseHandle(write_);
            write_ = nullptr;
            reader_.join();
            ::CloseHandle(read_);
        }
        return bytes_;
    }

private:
    HANDLE read_ = nullptr;
    HANDLE write_ = nullptr;
    HANDLE saved_ = nullptr;
    std::string bytes_;
    std::thread reader_;
};
