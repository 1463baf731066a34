/*
 * The crypto library "KRY10": AES, PBKDF2, HMAC-SHA256, random bytes and memory
 * streams. Every function returns a signed 32-bit status, negative on failure;
 * handles are opaque pointer-sized values written through the last argument.
 */
#pragma once
#include <windows.h>

#if defined(_WIN32) && defined(KRY10_BUILDING)
#define KRY_API extern "C" __declspec(dllexport)
#elif defined(_WIN32)
#define KRY_API extern "C" __declspec(dllimport)
#elif defined(__GNUC__)
#define KRY_API extern "C" __attribute__((visibility("default")))
#else
#define KRY_API extern "C" __declspec(dllimport)
#endif

typedef struct KRY_STREAM_* KRY_STREAM;
typedef struct KRY_CIPHER_* KRY_CIPHER;

#define KRY_STREAM_READ 1  /* reads the given buffer */
#define KRY_STREAM_WRITE 3 /* the cipher writes: into the buffer, or into growing storage when it is NULL/0 */

#define KRY_OK 0
#define KRY_E_FAIL (-1)
#define KRY_E_PARAM (-2)
#define KRY_E_MEMORY (-3)
#define KRY_E_AUTH (-4)     /* ciphertext does not authenticate */
#define KRY_E_OVERFLOW (-5) /* a fixed output buffer is too small */
#define KRY_E_NOT_INITIALIZED (-6)

KRY_API LONG KRY_Initialize(void);
KRY_API LONG KRY_Uninitialize(void);
KRY_API LONG KRY_RandomBytes(BYTE* pbDest, DWORD cb);
KRY_API LONG KRY_Pbkdf2Compute(const BYTE* pbPassword, LONG cbPassword, const BYTE* pbSalt, LONG cbSalt,
                               LONG iterations, BYTE* pbKey, LONG cbKey);
KRY_API LONG KRY_HmacSha256Compute(const BYTE* pbKey, LONG cbKey, const BYTE* pbData, DWORD cbData, BYTE* pbMac);
KRY_API LONG KRY_StreamCreateOnBuffer(BYTE* pbBuffer, DWORD cbBuffer, LONG mode, KRY_STREAM* pStream);
KRY_API LONG KRY_StreamLength(KRY_STREAM stream, ULONGLONG* pcbLength);
KRY_API LONG KRY_StreamSeek(KRY_STREAM stream, LONGLONG offset, LONG origin);
/* Copies cbCount bytes from the position into pbDest (capacity cbDest). */
KRY_API LONG KRY_StreamRead(KRY_STREAM stream, BYTE* pbDest, DWORD cbDest, DWORD reserved, DWORD cbCount);
KRY_API LONG KRY_StreamDestroy(KRY_STREAM stream);
KRY_API LONG KRY_AesCreate(LONG selector0, LONG selector1, const BYTE* pbKey, LONG cbKey, const BYTE* pbIv,
                           LONG cbIv, KRY_CIPHER* pCipher);
KRY_API LONG KRY_AesEncrypt(KRY_CIPHER cipher, KRY_STREAM input, KRY_STREAM output);
KRY_API LONG KRY_AesDecrypt(KRY_CIPHER cipher, KRY_STREAM input, KRY_STREAM output);
KRY_API LONG KRY_AesDestroy(KRY_CIPHER cipher);
