/* The zip library "ZipUtil.dll", loaded at run time and entered by name. */
#pragma once
#include <windows.h>
#include "Wide.h"

#define ZIPUTIL_RELATIVE_PATH W("\\Aldmoor Client Core\\ZipUtil.dll")

/* Packs the folder's files into the archive; non-zero on success. */
typedef INT(WINAPI* PFN_KsZip)(LPCWSTR archivePath, LPCWSTR folderPath);
/* Unpacks the archive into the folder (note the order). */
typedef INT(WINAPI* PFN_KsUnzip)(LPCWSTR folderPath, LPCWSTR archivePath);
