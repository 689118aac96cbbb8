#include <windows.h>

// Initialised before main, so that the linker keeps it: its only effect is an import of USER32.dll.
[[maybe_unused]] static const int screen_width = GetSystemMetrics(SM_CXSCREEN);
