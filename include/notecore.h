/*
 * notecore — banknote validator driver.
 *
 * notecore drives one banknote validator on a serial port (COM port) with the
 * CCNET framing: the host sends one command frame and the validator answers
 * with one frame, which the driver checks (CRC-16) and, for poll,
 * identification and bill table, acknowledges. On Linux, COM<N> is the device
 * in the environment variable KIOSKKIT_COM<N> (for example the pseudo-terminal
 * of the validator emulator), otherwise /dev/ttyS<N-1>.
 *
 * Conventions of every function below:
 *  - Results: 0 success, -1 failure. The reason of a failure (no port, no
 *    reply within a second, a reply that did not finish, a CRC error, a reply
 *    longer than 128 data bytes) is not reported.
 *  - `buf` receives the reply data bytes (not zero-terminated): the byte at
 *    the command position of the reply frame and the data after it. It must
 *    have room for 128 bytes, the longest reply the driver accepts; the value
 *    behind `len` on entry is not read as a bound. On success `len` receives
 *    the number of bytes written to `buf` (0 to 128); on failure `len`
 *    receives 0 and `buf` is left untouched. A NULL `buf` or `len` gives -1
 *    (with 0 stored behind a non-NULL `len`) and sends nothing.
 *  - Buffers belong to the caller; the library keeps no pointer after a call.
 *  - One validator per process. Calls must not overlap: the driver takes no
 *    lock. A command called while another is waiting for its reply (from a
 *    window-message handler that the wait dispatches on Windows) fails with
 *    -1 and does not disturb the command under way.
 *  - A command blocks its thread for at most about 1 s when the validator is
 *    silent, and at most about 12 s when a reply starts and then stalls.
 */
#ifndef KIOSKKIT_NOTECORE_H
#define KIOSKKIT_NOTECORE_H

#include <stdint.h>

#if defined(_WIN32)
#  if defined(NOTECORE_BUILD)
#    define NOTECORE_API __declspec(dllexport)
#  else
#    define NOTECORE_API __declspec(dllimport)
#  endif
#else
#  define NOTECORE_API __attribute__((visibility("default")))
#endif

/* Calling convention of every function below: __stdcall on 32-bit Windows,
 * which is what hosts written in VB6, Delphi or .NET declare by default; the
 * system's C convention everywhere else. */
#ifndef KIOSKKIT_CALL
#  if defined(_WIN32) && !defined(_WIN64)
#    define KIOSKKIT_CALL __stdcall
#  else
#    define KIOSKKIT_CALL
#  endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Opens COM<port> at 9600 baud, 8 data bits, no parity, 1 stop bit, for
 * exclusive use, with DTR and RTS raised. While a port is open, a further call
 * changes nothing (whatever the port number) and returns 0.
 * Returns 0 when the port is open, -1 when it cannot be opened or set up
 * (missing device, in use by another program, port number 0 or negative). */
NOTECORE_API int32_t KIOSKKIT_CALL Voro_OpenPort(int32_t port);

/* Closes the port. Returns 0, also when no port was open. Commands fail with
 * -1 until the port is opened again. */
NOTECORE_API int32_t KIOSKKIT_CALL Voro_ClosePort(void);

/* Reset (command 0x30). The validator's reply is its acknowledgement, one
 * byte 0x00 in buf. No acknowledgement is sent back. 0 or -1. */
NOTECORE_API int32_t KIOSKKIT_CALL Voro_Reset(uint8_t* buf, int32_t* len);

/* Poll (command 0x33): buf receives the validator's state byte, followed by
 * its detail byte where the state has one (for example the bill type of an
 * escrow or stacked event). The reply is acknowledged. 0 or -1. */
NOTECORE_API int32_t KIOSKKIT_CALL Voro_Poll(uint8_t* buf, int32_t* len);

/* Identification (command 0x37): part number, serial number and asset number
 * as the validator sends them. The reply is acknowledged. 0 or -1. */
NOTECORE_API int32_t KIOSKKIT_CALL Voro_Identification(uint8_t* buf, int32_t* len);

/* Bill table (command 0x41): one 5-byte entry per bill type 0 to 23 as the
 * validator sends them. The reply is acknowledged. 0 or -1. */
NOTECORE_API int32_t KIOSKKIT_CALL Voro_GetBillTable(uint8_t* buf, int32_t* len);

/* Stack the bill held in escrow (command 0x35). 0 or -1. */
NOTECORE_API int32_t KIOSKKIT_CALL Voro_Stack(uint8_t* buf, int32_t* len);

/* Return the bill held in escrow (command 0x36). 0 or -1. */
NOTECORE_API int32_t KIOSKKIT_CALL Voro_Return(uint8_t* buf, int32_t* len);

/* Keep the bill in escrow a while longer (command 0x38 with three zero
 * bytes). 0 or -1. */
NOTECORE_API int32_t KIOSKKIT_CALL Voro_Hold(uint8_t* buf, int32_t* len);

/* Enable bill types (command 0x34). Bit k of the low byte of `bill_mask`
 * enables bill type k (0 to 7); higher bits are ignored. When the low byte of
 * `escrow` is exactly 1, the same types are held in escrow (the host then
 * decides with Voro_Stack or Voro_Return); any other value (0, 2, 0xFF)
 * stacks bills at once. A mask of 0 disables the validator. 0 or -1. */
NOTECORE_API int32_t KIOSKKIT_CALL Voro_EnableBillType(uint32_t bill_mask, int32_t escrow,
                                                   uint8_t* buf, int32_t* len);

/* Bill types 0 to 7 enabled, held in escrow. 0 or -1. */
NOTECORE_API int32_t KIOSKKIT_CALL Voro_EnableBill(uint8_t* buf, int32_t* len);

/* Bill types 0 to 7 enabled, stacked at once. 0 or -1. */
NOTECORE_API int32_t KIOSKKIT_CALL Voro_EnableBillStack(uint8_t* buf, int32_t* len);

/* Every bill type disabled. 0 or -1. */
NOTECORE_API int32_t KIOSKKIT_CALL Voro_DisableBill(uint8_t* buf, int32_t* len);

/* Copies the driver's version text "v20130205" and its terminating zero
 * (10 bytes) into `text`, which must have room for 10 bytes. `unused` is
 * ignored. Returns 0; -1 only when `text` is NULL. */
NOTECORE_API int32_t KIOSKKIT_CALL GetSysVerion(int32_t unused, char* text);

#ifdef __cplusplus
}
#endif

#endif /* KIOSKKIT_NOTECORE_H */
