/*
 * The Win32 subset the PAL implements on POSIX. Declarations keep the Win32
 * names, signatures and values so that code written against the real SDK
 * compiles unchanged against these headers. Only Win32 names are declared here:
 * no libc re-declarations.
 *
 * Paths: a Windows path on drive C: ("C:\ProgramData\...") maps below the
 * machine root ($VAULTKEEP_ROOT); an absolute POSIX path is used unchanged.
 */
#ifndef PAL_WIN32_H
#define PAL_WIN32_H

#include "pal/ole_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- base types ---------------------------------------------------------- */

typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef uint64_t DWORD64;
typedef uintptr_t ULONG_PTR;
typedef uintptr_t DWORD_PTR;
typedef intptr_t LONG_PTR;
typedef intptr_t INT_PTR;
typedef uintptr_t UINT_PTR;
typedef size_t SIZE_T;
typedef float FLOAT;
typedef BOOL* LPBOOL;
typedef BYTE* LPBYTE;
typedef BYTE* PBYTE;
typedef DWORD* LPDWORD;
typedef DWORD* PDWORD;
typedef LONG* PLONG;
typedef const void* LPCVOID;
typedef CHAR* LPSTR;
typedef const CHAR* LPCSTR;
typedef const CHAR* LPCCH;
typedef WCHAR* LPWSTR;
typedef WCHAR* PWSTR;
typedef const WCHAR* LPCWSTR;
typedef const WCHAR* PCWSTR;
typedef const WCHAR* LPCWCH;
typedef const OLECHAR* LPCOLESTR;
typedef OLECHAR* LPOLESTR;
typedef DWORD ACCESS_MASK;
typedef DWORD SECURITY_INFORMATION;
typedef LONG LSTATUS;
typedef DWORD REGSAM;

typedef void* HANDLE;
typedef HANDLE* PHANDLE;
typedef HANDLE* LPHANDLE;
typedef struct HINSTANCE__* HINSTANCE;
typedef HINSTANCE HMODULE;
typedef struct HKEY__* HKEY;
typedef HKEY* PHKEY;
typedef struct HWND__* HWND;
typedef HANDLE HLOCAL;
typedef INT_PTR (*FARPROC)(void);

typedef union _LARGE_INTEGER {
    struct {
        DWORD LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef struct _FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME, *PFILETIME, *LPFILETIME;

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef struct _OVERLAPPED OVERLAPPED, *LPOVERLAPPED; /* only NULL is accepted */

#define MAX_PATH 260
#define INFINITE 0xFFFFFFFFu
#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)

/* ---- errors -------------------------------------------------------------- */

#define ERROR_SUCCESS 0L
#define NO_ERROR 0L
#define ERROR_INVALID_FUNCTION 1L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_TOO_MANY_OPEN_FILES 4L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_INVALID_DATA 13L
#define ERROR_OUTOFMEMORY 14L
#define ERROR_NOT_SAME_DEVICE 17L
#define ERROR_NO_MORE_FILES 18L
#define ERROR_WRITE_FAULT 29L
#define ERROR_READ_FAULT 30L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_HANDLE_EOF 38L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_FILE_EXISTS 80L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_DISK_FULL 112L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_INVALID_NAME 123L
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_PROC_NOT_FOUND 127L
#define ERROR_NEGATIVE_SEEK 131L
#define ERROR_DIR_NOT_EMPTY 145L
#define ERROR_BAD_PATHNAME 161L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_FILENAME_EXCED_RANGE 206L
#define ERROR_MORE_DATA 234L
#define WAIT_TIMEOUT 258L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_DIRECTORY 267L
#define ERROR_NOT_OWNER 288L
#define ERROR_INVALID_FLAGS 1004L
#define ERROR_BADDB 1009L
#define ERROR_BADKEY 1010L
#define ERROR_CANTOPEN 1011L
#define ERROR_CANTREAD 1012L
#define ERROR_CANTWRITE 1013L
#define ERROR_KEY_DELETED 1018L
#define ERROR_DLL_INIT_FAILED 1114L
#define ERROR_NOT_FOUND 1168L
#define ERROR_NONE_MAPPED 1332L
#define ERROR_INVALID_SID 1337L
#define ERROR_INVALID_ACL 1336L
#define ERROR_TIMEOUT 1460L

#define S_OK ((HRESULT)0L)
#define S_FALSE ((HRESULT)1L)
#define E_NOTIMPL ((HRESULT)0x80004001L)
#define E_NOINTERFACE ((HRESULT)0x80004002L)
#define E_POINTER ((HRESULT)0x80004003L)
#define E_ABORT ((HRESULT)0x80004004L)
#define E_FAIL ((HRESULT)0x80004005L)
#define E_UNEXPECTED ((HRESULT)0x8000FFFFL)
#define E_ACCESSDENIED ((HRESULT)0x80070005L)
#define E_HANDLE ((HRESULT)0x80070006L)
#define E_OUTOFMEMORY ((HRESULT)0x8007000EL)
#define E_INVALIDARG ((HRESULT)0x80070057L)
#define CLASS_E_NOAGGREGATION ((HRESULT)0x80040110L)
#define CLASS_E_CLASSNOTAVAILABLE ((HRESULT)0x80040111L)
#define REGDB_E_CLASSNOTREG ((HRESULT)0x80040154L)
#define CO_E_NOTINITIALIZED ((HRESULT)0x800401F0L)
#define CO_E_DLLNOTFOUND ((HRESULT)0x800401F8L)
#define CO_E_ERRORINDLL ((HRESULT)0x800401F9L)
#define RPC_E_CHANGED_MODE ((HRESULT)0x80010106L)
#define DISP_E_BADINDEX ((HRESULT)0x8002000BL)
#define DISP_E_ARRAYISLOCKED ((HRESULT)0x8002000DL)
#define STRSAFE_E_INSUFFICIENT_BUFFER ((HRESULT)0x8007007AL)
#define STRSAFE_E_INVALID_PARAMETER ((HRESULT)0x80070057L)

#define NTE_BAD_UID ((HRESULT)0x80090001L)
#define NTE_BAD_KEY ((HRESULT)0x80090003L)
#define NTE_BAD_LEN ((HRESULT)0x80090004L)
#define NTE_BAD_DATA ((HRESULT)0x80090005L)
#define NTE_BAD_SIGNATURE ((HRESULT)0x80090006L)
#define NTE_BAD_ALGID ((HRESULT)0x80090008L)
#define NTE_BAD_FLAGS ((HRESULT)0x80090009L)
#define NTE_BAD_TYPE ((HRESULT)0x8009000AL)
#define NTE_BAD_KEY_STATE ((HRESULT)0x8009000BL)
#define NTE_NO_KEY ((HRESULT)0x8009000DL)
#define NTE_NO_MEMORY ((HRESULT)0x8009000EL)
#define NTE_EXISTS ((HRESULT)0x8009000FL)
#define NTE_PERM ((HRESULT)0x80090010L)
#define NTE_NOT_FOUND ((HRESULT)0x80090011L)
#define NTE_BAD_PROV_TYPE ((HRESULT)0x80090014L)
#define NTE_BAD_PUBLIC_KEY ((HRESULT)0x80090015L)
#define NTE_BAD_KEYSET ((HRESULT)0x80090016L)
#define NTE_PROV_TYPE_NOT_DEF ((HRESULT)0x80090017L)
#define NTE_KEYSET_NOT_DEF ((HRESULT)0x80090019L)
#define NTE_KEYSET_ENTRY_BAD ((HRESULT)0x8009001AL)
#define NTE_PROV_DLL_NOT_FOUND ((HRESULT)0x8009001EL)
#define NTE_BAD_KEYSET_PARAM ((HRESULT)0x8009001FL)
#define NTE_FAIL ((HRESULT)0x80090020L)
#define TPM_E_AUTHFAIL ((HRESULT)0x80280001L)
#define TPM_E_DEFEND_LOCK_RUNNING ((HRESULT)0x80280803L)
#define TPM_E_COMMAND_BLOCKED ((HRESULT)0x80280400L)
#define TBS_E_SERVICE_NOT_RUNNING ((HRESULT)0x80284008L)

#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)
#define HRESULT_FROM_WIN32(x)                                                                                 \
    ((HRESULT)(x) <= 0 ? ((HRESULT)(x)) : ((HRESULT)(((x)&0x0000FFFF) | (7 << 16) | 0x80000000)))

PAL_EXPORT DWORD GetLastError(void);
PAL_EXPORT void SetLastError(DWORD dwErrCode);

/* ---- kernel objects ------------------------------------------------------ */

#define WAIT_OBJECT_0 0x00000000L
#define WAIT_ABANDONED_0 0x00000080L
#define WAIT_ABANDONED WAIT_ABANDONED_0
#define WAIT_FAILED 0xFFFFFFFFu
#define MAXIMUM_WAIT_OBJECTS 64

PAL_EXPORT HANDLE CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                               LPCWSTR lpName);
PAL_EXPORT BOOL SetEvent(HANDLE hEvent);
PAL_EXPORT BOOL ResetEvent(HANDLE hEvent);
/* Named mutexes are machine-wide (shared by every process using the same
 * machine root); an owner that dies hands the next waiter WAIT_ABANDONED_0. */
PAL_EXPORT HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCWSTR lpName);
PAL_EXPORT BOOL ReleaseMutex(HANDLE hMutex);
PAL_EXPORT DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
PAL_EXPORT DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                                        DWORD dwMilliseconds);
PAL_EXPORT BOOL CloseHandle(HANDLE hObject);
PAL_EXPORT void Sleep(DWORD dwMilliseconds);
PAL_EXPORT DWORD GetCurrentProcessId(void);
PAL_EXPORT DWORD GetCurrentThreadId(void);
PAL_EXPORT ULONGLONG GetTickCount64(void);

static inline LONG InterlockedExchange(LONG volatile* Target, LONG Value) {
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
static inline LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comparand) {
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, 0, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return Comparand;
}
static inline LONG InterlockedIncrement(LONG volatile* Addend) {
    return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
static inline LONG InterlockedDecrement(LONG volatile* Addend) {
    return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}

/* ---- library entry and modules ----------------------------------------- */

#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3

PAL_EXPORT HMODULE LoadLibraryW(LPCWSTR lpLibFileName);
PAL_EXPORT FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
PAL_EXPORT BOOL FreeLibrary(HMODULE hLibModule);
/* NULL module: the main program. Gives the Windows view of the path. */
PAL_EXPORT DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize);
PAL_EXPORT BOOL DisableThreadLibraryCalls(HMODULE hLibModule);

PAL_EXPORT void OutputDebugStringW(LPCWSTR lpOutputString);
PAL_EXPORT void OutputDebugStringA(LPCSTR lpOutputString);

PAL_EXPORT HLOCAL LocalFree(HLOCAL hMem);
/* Not optimised away: for keys and passwords. */
PAL_EXPORT PVOID SecureZeroMemory(PVOID ptr, SIZE_T cnt);

/* ---- files --------------------------------------------------------------- */

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define GENERIC_EXECUTE 0x20000000u
#define GENERIC_ALL 0x10000000u
#define DELETE 0x00010000u
#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define FILE_SHARE_DELETE 0x00000004
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5
#define FILE_ATTRIBUTE_READONLY 0x00000001
#define FILE_ATTRIBUTE_HIDDEN 0x00000002
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020
#define FILE_ATTRIBUTE_DEVICE 0x00000040 /* a host FIFO, socket or device node */
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define FILE_ATTRIBUTE_TEMPORARY 0x00000100
#define FILE_ATTRIBUTE_REPARSE_POINT 0x00000400
#define FILE_FLAG_BACKUP_SEMANTICS 0x02000000
#define INVALID_FILE_ATTRIBUTES 0xFFFFFFFFu
#define INVALID_FILE_SIZE 0xFFFFFFFFu
#define INVALID_SET_FILE_POINTER ((DWORD)-1)
#define FILE_BEGIN 0
#define FILE_CURRENT 1
#define FILE_END 2
#define MOVEFILE_REPLACE_EXISTING 0x00000001
#define MOVEFILE_COPY_ALLOWED 0x00000002
#define MOVEFILE_WRITE_THROUGH 0x00000008

typedef struct _WIN32_FIND_DATAW {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwReserved0;
    DWORD dwReserved1;
    WCHAR cFileName[MAX_PATH];
    WCHAR cAlternateFileName[14];
} WIN32_FIND_DATAW, *PWIN32_FIND_DATAW, *LPWIN32_FIND_DATAW;

/*
 * A file opened with CREATE_ALWAYS or CREATE_NEW for writing is written beside
 * its final name and put in place on CloseHandle (flushed, renamed, directory
 * synced): after a crash or a failed write the old file stays whole. Share modes
 * are honoured between handles of one process only.
 */
PAL_EXPORT HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                              LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                              DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
PAL_EXPORT BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                         LPOVERLAPPED lpOverlapped);
PAL_EXPORT BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                          LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped);
PAL_EXPORT DWORD GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh);
PAL_EXPORT BOOL GetFileSizeEx(HANDLE hFile, PLARGE_INTEGER lpFileSize);
PAL_EXPORT DWORD SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh,
                                DWORD dwMoveMethod);
PAL_EXPORT BOOL FlushFileBuffers(HANDLE hFile);
PAL_EXPORT BOOL DeleteFileW(LPCWSTR lpFileName);
PAL_EXPORT BOOL MoveFileW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName);
PAL_EXPORT BOOL MoveFileExW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, DWORD dwFlags);
PAL_EXPORT BOOL CopyFileW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, BOOL bFailIfExists);
PAL_EXPORT BOOL CreateDirectoryW(LPCWSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes);
PAL_EXPORT BOOL RemoveDirectoryW(LPCWSTR lpPathName);
/* Lists "." and ".." first for a folder pattern, as NTFS does. Only "*" and
 * literal names are supported as patterns. */
PAL_EXPORT HANDLE FindFirstFileW(LPCWSTR lpFileName, LPWIN32_FIND_DATAW lpFindFileData);
PAL_EXPORT BOOL FindNextFileW(HANDLE hFindFile, LPWIN32_FIND_DATAW lpFindFileData);
PAL_EXPORT BOOL FindClose(HANDLE hFindFile);
PAL_EXPORT DWORD GetFileAttributesW(LPCWSTR lpFileName);
PAL_EXPORT BOOL SetFileAttributesW(LPCWSTR lpFileName, DWORD dwFileAttributes);
PAL_EXPORT DWORD GetTempPathW(DWORD nBufferLength, LPWSTR lpBuffer);

/* <io.h> */
#define _S_IREAD 0x0100
#define _S_IWRITE 0x0080
PAL_EXPORT int _wchmod(const WCHAR* filename, int pmode);

/* ---- registry ------------------------------------------------------------ */

#define HKEY_CLASSES_ROOT ((HKEY)(ULONG_PTR)((LONG)0x80000000))
#define HKEY_CURRENT_USER ((HKEY)(ULONG_PTR)((LONG)0x80000001))
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)((LONG)0x80000002))
#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_CREATE_LINK 0x0020
#define KEY_WOW64_64KEY 0x0100
#define KEY_READ 0x20019
#define KEY_WRITE 0x20006
#define KEY_ALL_ACCESS 0xF003F
#define REG_OPTION_NON_VOLATILE 0x00000000L
#define REG_CREATED_NEW_KEY 0x00000001L
#define REG_OPENED_EXISTING_KEY 0x00000002L
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4

/* The store is a persistent tree below the machine root. Key names compare
 * exactly (case-sensitive), like the host file system. Every write is atomic
 * and the store is safe for concurrent processes. */
PAL_EXPORT LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult);
PAL_EXPORT LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions,
                                   REGSAM samDesired, const LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                   PHKEY phkResult, LPDWORD lpdwDisposition);
PAL_EXPORT LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                                    LPBYTE lpData, LPDWORD lpcbData);
PAL_EXPORT LSTATUS RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                                  DWORD cbData);
PAL_EXPORT LSTATUS RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName);
/* Deletes a key without subkeys (ERROR_ACCESS_DENIED when it has some). */
PAL_EXPORT LSTATUS RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey);
PAL_EXPORT LSTATUS RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                                 LPWSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime);
PAL_EXPORT LSTATUS RegCloseKey(HKEY hKey);
/* Writes the store's pending changes (see the registry's batching) and reports
 * a deferred write that failed since the last flush. */
PAL_EXPORT LSTATUS RegFlushKey(HKEY hKey);

/* ---- shell folders, paths and strings ------------------------------------ */

#define CSIDL_COMMON_APPDATA 0x0023
#define CSIDL_PROGRAM_FILES 0x0026
#define SHGFP_TYPE_CURRENT 0
#define SHGFP_TYPE_DEFAULT 1

PAL_EXPORT HRESULT SHGetFolderPathW(HWND hwnd, int csidl, HANDLE hToken, DWORD dwFlags, LPWSTR pszPath);
PAL_EXPORT BOOL PathAppendW(LPWSTR pszPath, LPCWSTR pszMore);
PAL_EXPORT BOOL PathFileExistsW(LPCWSTR pszPath);

/* strsafe: %s and %ls take a wide string, %S and %hs a narrow one, as in the
 * wide printf family of the Windows C runtime; also %d %i %u %x %X %c %% with
 * flags, width and precision, and the l/ll/z/I64 size prefixes. */
PAL_EXPORT HRESULT StringCchPrintfW(LPWSTR pszDest, size_t cchDest, LPCWSTR pszFormat, ...);
PAL_EXPORT HRESULT StringCchCopyW(LPWSTR pszDest, size_t cchDest, LPCWSTR pszSrc);
PAL_EXPORT HRESULT StringCchCatW(LPWSTR pszDest, size_t cchDest, LPCWSTR pszSrc);
PAL_EXPORT HRESULT StringCchLengthW(LPCWSTR psz, size_t cchMax, size_t* pcchLength);
PAL_EXPORT int lstrlenW(LPCWSTR lpString);
PAL_EXPORT int lstrcmpW(LPCWSTR lpString1, LPCWSTR lpString2);

/* The ANSI code page (CP_ACP) is UTF-8: no character is lost in conversion. */
#define CP_ACP 0
#define CP_UTF8 65001
#define WC_NO_BEST_FIT_CHARS 0x00000400
PAL_EXPORT int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWCH lpWideCharStr, int cchWideChar,
                                   LPSTR lpMultiByteStr, int cbMultiByte, LPCCH lpDefaultChar,
                                   LPBOOL lpUsedDefaultChar);
PAL_EXPORT int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCCH lpMultiByteStr, int cbMultiByte,
                                   LPWSTR lpWideCharStr, int cchWideChar);

/* ---- security ------------------------------------------------------------ */

typedef void* PSID;
typedef void* PSECURITY_DESCRIPTOR;

typedef struct _ACL {
    BYTE AclRevision;
    BYTE Sbz1;
    WORD AclSize;
    WORD AceCount;
    WORD Sbz2;
} ACL, *PACL;

typedef struct _ACE_HEADER {
    BYTE AceType;
    BYTE AceFlags;
    WORD AceSize;
} ACE_HEADER, *PACE_HEADER;

typedef struct _ACCESS_ALLOWED_ACE {
    ACE_HEADER Header;
    ACCESS_MASK Mask;
    DWORD SidStart;
} ACCESS_ALLOWED_ACE, *PACCESS_ALLOWED_ACE;

typedef struct _ACCESS_DENIED_ACE {
    ACE_HEADER Header;
    ACCESS_MASK Mask;
    DWORD SidStart;
} ACCESS_DENIED_ACE, *PACCESS_DENIED_ACE;

typedef struct _ACL_SIZE_INFORMATION {
    DWORD AceCount;
    DWORD AclBytesInUse;
    DWORD AclBytesFree;
} ACL_SIZE_INFORMATION, *PACL_SIZE_INFORMATION;

typedef enum _ACL_INFORMATION_CLASS { AclRevisionInformation = 1, AclSizeInformation } ACL_INFORMATION_CLASS;
typedef enum _SE_OBJECT_TYPE { SE_UNKNOWN_OBJECT_TYPE = 0, SE_FILE_OBJECT } SE_OBJECT_TYPE;
typedef enum _ACCESS_MODE {
    NOT_USED_ACCESS = 0,
    GRANT_ACCESS,
    SET_ACCESS,
    DENY_ACCESS,
    REVOKE_ACCESS,
    SET_AUDIT_SUCCESS,
    SET_AUDIT_FAILURE
} ACCESS_MODE;
typedef enum _MULTIPLE_TRUSTEE_OPERATION { NO_MULTIPLE_TRUSTEE, TRUSTEE_IS_IMPERSONATE } MULTIPLE_TRUSTEE_OPERATION;
typedef enum _TRUSTEE_FORM {
    TRUSTEE_IS_SID,
    TRUSTEE_IS_NAME,
    TRUSTEE_BAD_FORM,
    TRUSTEE_IS_OBJECTS_AND_SID,
    TRUSTEE_IS_OBJECTS_AND_NAME
} TRUSTEE_FORM;
typedef enum _TRUSTEE_TYPE {
    TRUSTEE_IS_UNKNOWN,
    TRUSTEE_IS_USER,
    TRUSTEE_IS_GROUP,
    TRUSTEE_IS_DOMAIN,
    TRUSTEE_IS_ALIAS,
    TRUSTEE_IS_WELL_KNOWN_GROUP
} TRUSTEE_TYPE;

typedef struct _TRUSTEE_W {
    struct _TRUSTEE_W* pMultipleTrustee;
    MULTIPLE_TRUSTEE_OPERATION MultipleTrusteeOperation;
    TRUSTEE_FORM TrusteeForm;
    TRUSTEE_TYPE TrusteeType;
    LPWSTR ptstrName;
} TRUSTEE_W, *PTRUSTEE_W;

typedef struct _EXPLICIT_ACCESS_W {
    DWORD grfAccessPermissions;
    ACCESS_MODE grfAccessMode;
    DWORD grfInheritance;
    TRUSTEE_W Trustee;
} EXPLICIT_ACCESS_W, *PEXPLICIT_ACCESS_W;

#define ACCESS_ALLOWED_ACE_TYPE 0x0
#define ACCESS_DENIED_ACE_TYPE 0x1
#define OBJECT_INHERIT_ACE 0x1
#define CONTAINER_INHERIT_ACE 0x2
#define NO_INHERITANCE 0x0
#define SUB_CONTAINERS_AND_OBJECTS_INHERIT 0x3
#define OWNER_SECURITY_INFORMATION 0x00000001L
#define GROUP_SECURITY_INFORMATION 0x00000002L
#define DACL_SECURITY_INFORMATION 0x00000004L
#define ACL_REVISION 2

/* The DACL of a file is its POSIX access ACL: the owner, owning group and
 * others map to S-1-22-1-<uid>, S-1-22-2-<gid> and S-1-1-0 (Everyone); the
 * built-in Users group S-1-5-32-545 maps to the host group "users". */
PAL_EXPORT BOOL ConvertStringSidToSidW(LPCWSTR StringSid, PSID* Sid);
PAL_EXPORT BOOL EqualSid(PSID pSid1, PSID pSid2);
PAL_EXPORT DWORD GetNamedSecurityInfoW(LPCWSTR pObjectName, SE_OBJECT_TYPE ObjectType,
                                       SECURITY_INFORMATION SecurityInfo, PSID* ppsidOwner, PSID* ppsidGroup,
                                       PACL* ppDacl, PACL* ppSacl, PSECURITY_DESCRIPTOR* ppSecurityDescriptor);
PAL_EXPORT BOOL GetAclInformation(PACL pAcl, LPVOID pAclInformation, DWORD nAclInformationLength,
                                  ACL_INFORMATION_CLASS dwAclInformationClass);
PAL_EXPORT BOOL GetAce(PACL pAcl, DWORD dwAceIndex, LPVOID* pAce);
PAL_EXPORT BOOL DeleteAce(PACL pAcl, DWORD dwAceIndex);
PAL_EXPORT DWORD SetEntriesInAclW(ULONG cCountOfExplicitEntries, PEXPLICIT_ACCESS_W pListOfExplicitEntries,
                                  PACL OldAcl, PACL* NewAcl);
PAL_EXPORT DWORD SetNamedSecurityInfoW(LPWSTR pObjectName, SE_OBJECT_TYPE ObjectType,
                                       SECURITY_INFORMATION SecurityInfo, PSID psidOwner, PSID psidGroup,
                                       PACL pDacl, PACL pSacl);

/* ---- GUIDs and RPC strings ------------------------------------------------- */

typedef struct _GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
} GUID;
typedef GUID UUID;
typedef GUID IID;
typedef GUID CLSID;
typedef IID* LPIID;
typedef CLSID* LPCLSID;
#ifdef __cplusplus
#define REFGUID const GUID&
#define REFIID const IID&
#define REFCLSID const CLSID&
#else
#define REFGUID const GUID*
#define REFIID const IID*
#define REFCLSID const CLSID*
#endif
typedef LONG RPC_STATUS;
typedef WCHAR* RPC_WSTR;
#define RPC_S_OK 0
#define RPC_S_INVALID_STRING_UUID 1705L

PAL_EXPORT HRESULT CoCreateGuid(GUID* pguid);
/* Lower-case 8-4-4-4-12 form without braces; free with RpcStringFreeW. */
PAL_EXPORT RPC_STATUS UuidToStringW(const UUID* Uuid, RPC_WSTR* StringUuid);
PAL_EXPORT RPC_STATUS UuidFromStringW(RPC_WSTR StringUuid, UUID* Uuid);
PAL_EXPORT RPC_STATUS RpcStringFreeW(RPC_WSTR* String);
/* "{XXXXXXXX-...}" upper case, as the registry's CLSID keys are named. */
PAL_EXPORT int StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax);
PAL_EXPORT HRESULT CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid);

#ifdef __cplusplus
static inline bool IsEqualGUID(REFGUID a, REFGUID b) {
    return __builtin_memcmp(&a, &b, sizeof(GUID)) == 0;
}
static inline bool operator==(REFGUID a, REFGUID b) { return IsEqualGUID(a, b); }
static inline bool operator!=(REFGUID a, REFGUID b) { return !IsEqualGUID(a, b); }
#endif

/* ---- COM ------------------------------------------------------------------ */

#define CLSCTX_INPROC_SERVER 0x1
#define CLSCTX_INPROC_HANDLER 0x2
#define CLSCTX_LOCAL_SERVER 0x4
#define CLSCTX_REMOTE_SERVER 0x10
#define CLSCTX_ALL (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)
#define COINIT_MULTITHREADED 0x0
#define COINIT_APARTMENTTHREADED 0x2

#ifdef __cplusplus
#define STDMETHOD(method) virtual HRESULT STDMETHODCALLTYPE method
#define STDMETHOD_(type, method) virtual type STDMETHODCALLTYPE method
#define PURE = 0
#define interface struct

/* COM interfaces are plain structs of pure virtuals: no data, no virtual
 * destructor, so method-table positions match the Win64 layout. */
struct IUnknown {
    STDMETHOD(QueryInterface)(REFIID riid, void** ppvObject) PURE;
    STDMETHOD_(ULONG, AddRef)(void) PURE;
    STDMETHOD_(ULONG, Release)(void) PURE;
};
typedef IUnknown* LPUNKNOWN;

struct IClassFactory : public IUnknown {
    STDMETHOD(CreateInstance)(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) PURE;
    STDMETHOD(LockServer)(BOOL fLock) PURE;
};

struct IRunnableObject : public IUnknown {
    STDMETHOD(GetRunningClass)(LPCLSID lpClsid) PURE;
    STDMETHOD(Run)(void* pbc) PURE;
    STDMETHOD_(BOOL, IsRunning)(void) PURE;
    STDMETHOD(LockRunning)(BOOL fLock, BOOL fLastUnlockCloses) PURE;
    STDMETHOD(SetContainedObject)(BOOL fContained) PURE;
};
#else
typedef struct IUnknown IUnknown;
typedef IUnknown* LPUNKNOWN;
#endif

PAL_EXPORT extern const IID IID_IUnknown;
PAL_EXPORT extern const IID IID_IClassFactory;
PAL_EXPORT extern const IID IID_IRunnableObject;

PAL_EXPORT HRESULT CoInitialize(LPVOID pvReserved);
PAL_EXPORT HRESULT CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
PAL_EXPORT void CoUninitialize(void);
/* In-process servers only: the module named by the default value of
 * HKEY_LOCAL_MACHINE\Software\Classes\CLSID\{clsid}\InprocServer32, entered
 * through its exported DllGetClassObject. */
PAL_EXPORT HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid,
                                    LPVOID* ppv);
PAL_EXPORT HRESULT OleRun(LPUNKNOWN pUnknown);

/* ---- CryptoAPI ------------------------------------------------------------ */

typedef ULONG_PTR HCRYPTPROV;
typedef ULONG_PTR HCRYPTKEY;
typedef ULONG_PTR HCRYPTHASH;
typedef unsigned int ALG_ID;

#define PROV_RSA_FULL 1
#define PROV_RSA_AES 24
#define CRYPT_VERIFYCONTEXT 0xF0000000u
#define CRYPT_NEWKEYSET 0x00000008
#define CRYPT_DELETEKEYSET 0x00000010
#define CRYPT_MACHINE_KEYSET 0x00000020
#define CRYPT_SILENT 0x00000040
#define AT_KEYEXCHANGE 1
#define AT_SIGNATURE 2
#define CRYPT_EXPORTABLE 0x00000001
#define CRYPT_USER_PROTECTED 0x00000002
#define CRYPT_OAEP 0x00000040
#define CALG_AES_256 0x00006610
#define CALG_RSA_KEYX 0x0000a400
#define SIMPLEBLOB 0x1
#define PUBLICKEYBLOB 0x6
#define PRIVATEKEYBLOB 0x7
#define CUR_BLOB_VERSION 2

typedef struct _PUBLICKEYSTRUC {
    BYTE bType;
    BYTE bVersion;
    WORD reserved;
    ALG_ID aiKeyAlg;
} BLOBHEADER, PUBLICKEYSTRUC;

/* A NULL provider name selects the built-in default provider, which gives
 * verify-only contexts and CryptGenRandom. A named provider is the module of
 * HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Cryptography\Defaults\Provider\<name>,
 * value "Image Path". An unregistered name fails with NTE_PROV_DLL_NOT_FOUND. */
PAL_EXPORT BOOL CryptAcquireContextW(HCRYPTPROV* phProv, LPCWSTR szContainer, LPCWSTR szProvider, DWORD dwProvType,
                                     DWORD dwFlags);
PAL_EXPORT BOOL CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags);
PAL_EXPORT BOOL CryptGenRandom(HCRYPTPROV hProv, DWORD dwLen, BYTE* pbBuffer);
PAL_EXPORT BOOL CryptSetProvParam(HCRYPTPROV hProv, DWORD dwParam, const BYTE* pbData, DWORD dwFlags);
PAL_EXPORT BOOL CryptGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen, DWORD dwFlags);
PAL_EXPORT BOOL CryptGenKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY* phKey);
PAL_EXPORT BOOL CryptGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey);
PAL_EXPORT BOOL CryptExportKey(HCRYPTKEY hKey, HCRYPTKEY hExpKey, DWORD dwBlobType, DWORD dwFlags, BYTE* pbData,
                               DWORD* pdwDataLen);
PAL_EXPORT BOOL CryptImportKey(HCRYPTPROV hProv, const BYTE* pbData, DWORD dwDataLen, HCRYPTKEY hPubKey,
                               DWORD dwFlags, HCRYPTKEY* phKey);
PAL_EXPORT BOOL CryptEncrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags, BYTE* pbData,
                             DWORD* pdwDataLen, DWORD dwBufLen);
PAL_EXPORT BOOL CryptDecrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags, BYTE* pbData,
                             DWORD* pdwDataLen);
PAL_EXPORT BOOL CryptDestroyKey(HCRYPTKEY hKey);

#ifdef __cplusplus
}
#endif

#endif
