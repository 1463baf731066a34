/* The logging scope every export and every table and utility operation opens first. */
#pragma once
#include <windows.h>
#include "../platform/DiagLog.h"

/* "start" on construction, "return" on destruction. Open it first in a function
 * so that its exit line is the last line the function logs. */
class CFuncTrace {
public:
    explicit CFuncTrace(const char* name) noexcept;
    ~CFuncTrace();
    const char* Name() const noexcept { return m_name; }

    CFuncTrace(const CFuncTrace&) = delete;
    CFuncTrace& operator=(const CFuncTrace&) = delete;

private:
    char m_name[MAX_PATH];
};
