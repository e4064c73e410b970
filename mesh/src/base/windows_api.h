// <windows.h> without the parts that clash with the standard library: the
// min and max macros and the rarely used APIs. Include only under _WIN32.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
