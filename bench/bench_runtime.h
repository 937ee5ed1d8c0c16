// What every benchmark program sets up first: COM in the multithreaded apartment and the utility
// libraries with tracing off; undone in reverse order at the end of main.
#pragma once

#include <objbase.h>

#include "zentil500.h"

class BenchRuntime {
public:
    BenchRuntime() {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        Zentil500::SLogger::Initialize();
        Zentil500::SResManager::Initialize();
        Zentil500::SLogger::Configure(Zentil500::SLoggerConfig{});  // tracing off
    }
    ~BenchRuntime() {
        Zentil500::SResManager::Terminate();
        Zentil500::SLogger::Terminate();
        CoUninitialize();
    }
    BenchRuntime(const BenchRuntime&) = delete;
    BenchRuntime& operator=(const BenchRuntime&) = delete;
};
