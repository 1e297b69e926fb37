// The leaf of the virtual CAN driver: helpers that every layer above may
// use and that call nothing of the driver's own. IRP completion, the
// mapping of Win32 codes to NT status values, the clock and wide strings.
#pragma once

#include <ddk/ntddk.h>

#define VCAN_POOL_TAG 0x6E614356u  // "VCan" in a pool dump

NTSTATUS VcanCompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR information);

// Errors travel as NT status values with the Win32 facility, so that the
// program sees exactly the Win32 code the driver meant.
NTSTATUS VcanStatusFromWin32(ULONG error);

// The performance counter in 100 ns units.
ULONG64 VcanTimeStamp(void);

// Characters before the terminating NUL.
ULONG VcanWideLength(const WCHAR *s);
// Copies up to srcChars characters, always NUL-terminated within dstChars.
void VcanWideCopy(WCHAR *dst, ULONG dstChars, const WCHAR *src, ULONG srcChars);
// Appends text, cut short where dstChars ends.
void VcanWideAppend(WCHAR *dst, ULONG dstChars, const WCHAR *text);
// Appends the decimal digits of value; FALSE if they do not fit.
BOOLEAN VcanWideAppendNumber(WCHAR *dst, ULONG dstChars, ULONG value);
