// The build's two type libraries, registered for the current user so that dual interfaces
// dispatch through them (the component library loads them by library id).
#pragma once

#include <windows.h>
#include <oaidl.h>

// The per-user registration function is not declared by the MinGW headers.
extern "C" HRESULT WINAPI RegisterTypeLibForUser(ITypeLib* lib, OLECHAR* path, OLECHAR* helpDir);

// Registers both type libraries; S_OK or the first failure.
HRESULT RegisterTestTypeLibs();
