/*
 * Control of the logging library for hosts and tests (the system itself only
 * calls the four print functions). The destination comes from VAULTKEEP_LOG:
 * unset or "off" logs nothing, "stderr", "file:<path>" appends to a file, and
 * "syslog" (not on Windows) sends each line to syslog(3) at its level: errors
 * LOG_ERR, information LOG_INFO, entry and exit LOG_DEBUG.
 */
#pragma once
#include <string>
#include <vector>

#if defined(_WIN32) && defined(DIAGLOG_BUILDING)
#define DIAG_CONTROL_API __declspec(dllexport)
#elif defined(_WIN32)
#define DIAG_CONTROL_API __declspec(dllimport)
#else
#define DIAG_CONTROL_API __attribute__((visibility("default")))
#endif

namespace diaglog {

enum class Level { Enter, Exit, Info, Error };

struct CapturedLine {
    Level level;
    std::string function;
    std::string text; /* the formatted message ("start", "return", or the line) */
    int line;         /* source line of an error line, else 0 */
};

/* Re-reads VAULTKEEP_LOG (or takes dest, in its form, when not null). */
DIAG_CONTROL_API void Configure(const char* dest);
/* While on, every line is also kept in memory for TakeCaptured. */
DIAG_CONTROL_API void SetCapture(bool on);
DIAG_CONTROL_API std::vector<CapturedLine> TakeCaptured();

} // namespace diaglog
