/* Wide literals and strings: UTF-16 code units on every platform. */
#pragma once
#include <windows.h>
#include <string>

#ifndef W
#ifdef _WIN32
#define W(str) L##str
#else
#define W(str) u##str
#endif
#endif

typedef std::basic_string<WCHAR> WString;
