#include <gtest/gtest.h>
#include <windows.h>
#include <mutex>
TEST(Smoke, Runs) { std::mutex m; std::lock_guard<std::mutex> g(m); EXPECT_NE(GetCurrentProcessId(), 0u); }
