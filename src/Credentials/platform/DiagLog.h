/*
 * The logging library: four calls with narrow-string arguments and no result.
 * Formats follow printf, with %S for a UTF-16 string argument.
 */
#pragma once

#if defined(_WIN32) && defined(DIAGLOG_BUILDING)
#define DIAG_API extern "C" __declspec(dllexport)
#define DIAG_PRINTF(f, a)
#elif defined(_WIN32)
#define DIAG_API extern "C" __declspec(dllimport)
#define DIAG_PRINTF(f, a)
#elif defined(__GNUC__)
#define DIAG_API extern "C" __attribute__((visibility("default")))
#define DIAG_PRINTF(f, a)
#else
#define DIAG_API extern "C" __declspec(dllimport)
#define DIAG_PRINTF(f, a)
#endif

DIAG_API void _PrintEnter(const char* function, const char* text);
DIAG_API void _PrintExit(const char* function, const char* text);
DIAG_API void _Print(const char* function, const char* format, ...);
DIAG_API void _PrintError(const char* function, int line, const char* format, ...);
