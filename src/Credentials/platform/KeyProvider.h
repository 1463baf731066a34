/* The TPM-backed key container provider, reached through CryptoAPI only. */
#pragma once
#include <windows.h>
#include <wincrypt.h>
#include "Wide.h"

#define TPM_KSP_PROVIDER_NAME W("Tarnwick TPM Key Storage Provider")

#define PP_TCG_KEYPARAM 0x101
#define PP_KEYEXCHANGE_PSWD 0x104

/* 2048-bit modulus, user protected, exportable. */
#define TPM_KSP_EXCHANGE_KEY_FLAGS 0x08000003
#define TPM_KSP_WRAPPED_KEY_MAX 512

#pragma pack(push, 4)
typedef struct _TcgKeyParams {
    DWORD dwField0;   /* 1 */
    DWORD dwReserved4;
    ULONGLONG qwField8; /* 0 */
    DWORD dwField16;  /* 512 */
    DWORD dwField20;  /* 0 */
    DWORD dwField24;  /* 3 */
    DWORD dwField28;  /* 1 */
    DWORD dwField32;  /* 0 */
    DWORD dwField36;  /* 1 */
    BYTE rgbReserved[192 - 40];
} TcgKeyParams;
#pragma pack(pop)
static_assert(sizeof(TcgKeyParams) == 192, "TcgKeyParams is 192 bytes");
