/* The logging scope. */
#include "Trace.h"
#include "../CoreChecks.h" /* the type-size checks, compiled in every build */

CFuncTrace::CFuncTrace(const char* name) noexcept {
    size_t i = 0;
    if (name) {
        for (; i < sizeof(m_name) - 1 && name[i] != '\0'; ++i) m_name[i] = name[i];
    }
    m_name[i] = '\0';
    _PrintEnter(m_name, "start");
}

CFuncTrace::~CFuncTrace() { _PrintExit(m_name, "return"); }
