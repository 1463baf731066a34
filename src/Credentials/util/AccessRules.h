/* Access rules the core gives its objects on Windows. On POSIX the platform
 * layer gives every object its mode from the vault group, so none of this is
 * compiled there. */
#pragma once
#include <windows.h>

#ifdef _WIN32
/* The vault's folders: SYSTEM and Administrators full control; the built-in
 * Users group, whose members are the vault's users as the write grant names
 * them, modify; the owner of an object nothing more (OWNER RIGHTS), so a member
 * that made a file cannot change who reaches it. Protected: nothing comes from
 * ProgramData, whose inherited rules let every account read and create. */
#define VAULT_FOLDER_SDDL \
    W("D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;BU)(A;OICI;0x1301bf;;;S-1-3-4)")
/* The machine-wide mutex: the vault's users wait on it and release it; only
 * SYSTEM and Administrators change it, and whoever made it first gains nothing. */
#define VAULT_MUTEX_SDDL \
    W("D:P(A;;0x1f0001;;;SY)(A;;0x1f0001;;;BA)(A;;0x120001;;;BU)(A;;0x120001;;;S-1-3-4)")
#define VAULT_MUTEX_ACCESS (SYNCHRONIZE | READ_CONTROL | MUTEX_MODIFY_STATE)
/* Any right that changes an object, what a folder holds, or who reaches it. */
#define VAULT_CHANGING_RIGHTS                                                                                  \
    (FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER | \
     GENERIC_WRITE | GENERIC_ALL | MAXIMUM_ALLOWED)

/* The administration: SYSTEM, Administrators, TrustedInstaller and the calling
 * account. TRUE when the owner is one of them, the DACL is there, and it allows
 * nobody else a right in mask (inherit-only entries aside). */
BOOL OnlyAdministrationMay(PSID owner, PACL dacl, ACCESS_MASK mask);
/* TRUE when path (a file or folder) has a DACL and an owner of the administration. */
BOOL OwnedByAdministration(LPCWSTR path);
/* Where a module may be loaded from: the file and its folder writable only by
 * the administration, and no folder above that anyone else may rename, replace
 * or hand over. */
BOOL IsInstalledModule(LPCWSTR path);
/* Gives the folder (and what it holds) the vault's protected DACL. A Win32 error. */
DWORD ProtectVaultFolder(LPCWSTR folder);
/* Creates or opens the machine-wide mutex with the vault's descriptor. One made
 * by another account with other rules is refused: NULL, ERROR_ACCESS_DENIED. */
HANDLE CreateVaultMutex(LPCWSTR name);
#endif
