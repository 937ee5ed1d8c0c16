// Status checks that print both sides in hex on failure.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <string>

inline std::string HrText(HRESULT hr) {
    char text[16];
    snprintf(text, sizeof(text), "0x%08lx", static_cast<unsigned long>(hr));
    return text;
}

#define EXPECT_HR(expected, expr) EXPECT_EQ(HrText(expected), HrText(expr))
#define ASSERT_HR(expected, expr) ASSERT_EQ(HrText(expected), HrText(expr))
