// Test entry: every test executable runs in the multithreaded apartment, as the host's threads do.
#include <gtest/gtest.h>
#include <objbase.h>

#include "support/typelibs.h"
#include "zentil500.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 2;
    Zentil500::SLogger::Initialize();
    Zentil500::SResManager::Initialize();
    // Dual interfaces dispatch through the registered type libraries.
    if (FAILED(RegisterTestTypeLibs())) return 3;
    const int rc = RUN_ALL_TESTS();
    Zentil500::SResManager::Terminate();
    Zentil500::SLogger::Terminate();
    CoUninitialize();
    return rc;
}
