/* Wide literals and strings: UTF-16 on every platform (never wchar_t off Windows). */
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
