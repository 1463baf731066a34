/* Laying out a machine root for use: components registered, "Install Path",
 * the zip library in place, the data folder, and a marker so it is done once. */
#pragma once
#include <windows.h>

#define SETUP_REG_KEY W("SOFTWARE\\Tarnwick Systems Corp.\\Vaultkeep Setup")
#define SETUP_MARKER_VALUE W("Layout")
#define INSTALL_PATH_VALUE W("Install Path")
#define DEFAULT_INSTALL_PATH W("C:\\Program Files\\Tarnwick Systems Corp")
/* Where the components sit, relative to the core library's folder: beside it
 * on Windows; on Linux in a private folder, so the public library folder holds
 * only what clients link (<libdir>/vaultkeep, in the build tree as installed). */
#ifdef _WIN32
#define MODULE_SUBFOLDER W("")
#define PROVIDER_MODULE_NAME W("VaultkeepTpmKsp.dll")
#define COMSERVERS_MODULE_NAME W("VaultkeepComServers.dll")
#define ZIPUTIL_MODULE_NAME W("VaultkeepZipUtil.dll")
#else
#define MODULE_SUBFOLDER W("vaultkeep")
#define PROVIDER_MODULE_NAME W("libVaultkeepTpmKsp.so")
#define COMSERVERS_MODULE_NAME W("libVaultkeepComServers.so")
#define ZIPUTIL_MODULE_NAME W("libVaultkeepZipUtil.so")
#endif

/* TRUE when the root carries the layout marker. */
BOOL IsRootLaidOut() noexcept;
/* Lays the root out unless it carries the marker. 0, or a negative status with
 * nothing marked (the next call tries again). Caller holds the process lock. */
LONG LayOutRoot() noexcept;
/* The frame's hook, run under the lock: lays out a root that was never set up. */
void EnsureRootLayout() noexcept;
/* Init: lays out a root that was never set up; on a laid-out one (as an upgrade
 * runs it) refreshes a placed zip library that is stale. Caller holds the lock. */
LONG InitRoot();
