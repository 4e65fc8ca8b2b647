/*
 * cardkit — contactless card reader driver.
 *
 * cardkit finds USB HID card readers by itself, keeps an encrypted command
 * link with each, watches each reader's field for cards, and offers MIFARE
 * Classic block access, triple-DES services and whole card transactions.
 *
 * Conventions of every function below:
 *  - Buffers belong to the caller; the library never hands out memory.
 *  - Results are integer codes; no function throws or aborts on any input.
 *    Reader-layer codes: 0 success; 1 no reader, wrong reader or card, or a
 *    transport failure; 2 no card; 5 no reader at that list position; 6 the
 *    reader is not configured; 16 authentication failed; 17 block read failed;
 *    18 block write failed.
 *  - Multi-byte values in byte buffers have the byte order stated per function.
 *  - All functions may be called from any thread.
 */
#ifndef KIOSKKIT_CARDKIT_H
#define KIOSKKIT_CARDKIT_H

#include <stdint.h>

#if defined(_WIN32)
#  if defined(CARDKIT_BUILD)
#    define CARDKIT_API __declspec(dllexport)
#  else
#    define CARDKIT_API __declspec(dllimport)
#  endif
#else
#  define CARDKIT_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

#ifdef __cplusplus
}
#endif

#endif /* KIOSKKIT_CARDKIT_H */
