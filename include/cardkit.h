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

/* ---- Triple DES, key diversification and MAC ----
 *
 * A triple-DES key is 16 bytes: K1 = bytes 0-7, K2 = bytes 8-15. Triple-DES
 * encryption of a block is DES encryption under K1, then DES decryption under
 * K2, then DES encryption under K1 (two-key triple DES); decryption is its
 * inverse. The lowest bit of every key byte (the DES parity bit) is ignored.
 * A block is 8 bytes, byte 0 the most significant. The functions keep no
 * state and may run on any number of threads at once; all buffers belong to
 * the caller and are only read or written for the duration of the call.
 *
 * A call refused for a null pointer that it would have to use returns 0 and
 * reads and writes nothing; since these functions report 0 for success too,
 * callers must pass valid buffers.
 */

/* Encrypts `length` bytes of `data` in place with two-key triple DES, block by
 * block (ECB). The length is rounded up to whole 8-byte blocks,
 * n = (length - 1) / 8 + 1, and all n blocks are encrypted, including the
 * bytes after `length` in the last block: `data` must hold n * 8 bytes.
 *   data    in/out, n * 8 bytes.
 *   length  bytes of payload; values below 1 do nothing.
 *   key     16 bytes, read only.
 * Returns n * 8, the number of bytes encrypted; 0 when nothing was done
 * (length below 1, a null `data` or `key`, or a length above 2147483640,
 * whose rounded size does not fit the result). */
CARDKIT_API int32_t des3_enc_dat(uint8_t* data, int32_t length, const uint8_t key[16]);

/* Decrypts data encrypted by des3_enc_dat in place: the same rounding to
 * n = (length + 7) / 8 whole blocks (none for lengths below 1), each block
 * decrypted independently, so that des3_dec_dat after des3_enc_dat with the
 * same key and length restores the data.
 *   data    in/out, n * 8 bytes.
 *   length  bytes of payload; values below 1 do nothing.
 *   key     16 bytes, read only.
 * Returns 0 always (also when refused for a null `data` or `key`). */
CARDKIT_API int32_t des3_dec_dat(uint8_t* data, int32_t length, const uint8_t key[16]);

/* Derives a 16-byte key from a master key and 8 bytes of diversification data
 * (an identifier): the derived bytes 0-7 are the triple-DES encryption of
 * `data` under the master key, bytes 8-15 that of `data` with every bit
 * inverted (each byte XOR 0xFF).
 *   data  8 bytes, read only, not changed.
 *   key   16 bytes, in: the master key; out: the derived key. Both halves are
 *         computed before `key` is written, so `data` may lie inside `key`.
 * Returns 0 always (also when refused for a null `data` or `key`; `key` then
 * keeps the master key). */
CARDKIT_API int32_t des3_diversify(const uint8_t data[8], uint8_t key[16]);

/* Computes the 4-byte retail MAC of `length` bytes of `data` (ISO/IEC 9797-1
 * MAC algorithm 3, padding method 2, zero initial value): CBC with single DES
 * under K1 over the data padded with 0x80 and zeros to whole blocks (always at
 * least one padding byte, so 8 bytes of data make two blocks and 0 bytes one),
 * the final block's output then decrypted under K2 and encrypted under K1.
 *   data    `length` bytes, read only; may be null when length is 0 or less.
 *   length  a negative length counts as 0.
 *   key     16 bytes, read only.
 *   mac     out, exactly 4 bytes written: the first 4 bytes of the result.
 * Returns 0 always (also when refused for a null `key` or `mac`, or a null
 * `data` with a positive length; `mac` is then not written). */
CARDKIT_API int32_t pboc_des3_mac(const uint8_t* data, int32_t length, const uint8_t key[16], uint8_t mac[4]);

#ifdef __cplusplus
}
#endif

#endif /* KIOSKKIT_CARDKIT_H */
