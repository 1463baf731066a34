/*
 * The Win32 subset the PAL implements on POSIX. Declarations keep the Win32
 * names, signatures and values so that code written against the real SDK
 * compiles unchanged against these headers. Only Win32 names are declared here:
 * no libc re-declarations. The declarations are split by area as the PAL's
 * sources are (pal/win32/<area>.h); this header includes them all.
 *
 * Paths: a Windows path on drive C: ("C:\ProgramData\...") maps below the
 * machine root ($VAULTKEEP_ROOT); an absolute POSIX path is used unchanged.
 */
#ifndef PAL_WIN32_H
#define PAL_WIN32_H

#include "pal/win32/base.h"
#include "pal/win32/errors.h"
#include "pal/win32/sync.h"
#include "pal/win32/loader.h"
#include "pal/win32/misc.h"
#include "pal/win32/file.h"
#include "pal/win32/registry.h"
#include "pal/win32/shell.h"
#include "pal/win32/strings.h"
#include "pal/win32/security.h"
#include "pal/win32/rpc.h"
#include "pal/win32/com.h"
#include "pal/win32/crypt.h"

#endif
