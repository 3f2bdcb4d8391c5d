// The module the program runs from, and functions looked up in a system DLL at run time (so
// that the program still loads where they are missing). Shared by every part of src/app.
#pragma once
#include <windows.h>

namespace app {

// The program's module: set when the main window is created, used for its resources.
inline HINSTANCE app_instance;

// The function name exported by module as type F; null when it is missing.
template <class F>
F proc_address(HMODULE module, const char* name)
{
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

} // namespace app
