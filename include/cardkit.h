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

/* ---- Readers and cards ------------------------------------------------
 *
 * The library finds readers by itself from the moment it is loaded: a
 * background thread opens each newly plugged reader, brings up its encrypted
 * link and reads its configuration; a thread per reader then watches its
 * field for cards. Every function below addresses the newest reader (the
 * one attached last).
 *
 * A reader that does not answer within 4 s (per 64-byte report) fails the
 * call with 1. Its answer may still come later: the next call to that
 * reader, or the library's own next look at its field, first waits until the
 * reader has been silent for one second, dropping what arrives, and greets
 * it again, so a late answer is never taken for the answer to another call.
 * A reader that stops answering altogether is removed from the list.
 *
 * Results of the functions that return a result code are 16-bit codes
 * carried in a 32-bit integer.
 */

/* Whether the list of readers changed (a reader was attached, removed or
 * given a new device id) since the last call. Returns 1 once per change,
 * then 0. */
CARDKIT_API uint32_t KIOSKKIT_CALL devlistupdate(void);

/* The device ids of the attached readers, newest first.
 * ids:      array of `capacity` entries to fill, or NULL to only count.
 * capacity: number of entries `ids` holds; never more are written.
 * Returns the number of ids written (with ids NULL: the number of readers). */
CARDKIT_API uint32_t KIOSKKIT_CALL readdevlist(uint16_t* ids, uint32_t capacity);

/* Gives the reader at `position` (0 = newest, 1 = the one before, ...) the
 * device id `new_id`. Returns 0 when the reader accepted it, 1 when the
 * exchange failed (the old id stays), 5 when there is no reader at that
 * position. */
CARDKIT_API uint32_t KIOSKKIT_CALL writedevid(uint32_t position, uint16_t new_id);

/* Waits for a card on the newest reader.
 * device_id, serial: outputs, both required; written only on success. The
 *            serial is the card's four UID bytes, the first most significant.
 * timeout_ms: how long to wait for a card to arrive when none is present;
 *            0 only checks.
 * Returns 0 when a card is present or arrived in time, 1 otherwise (also for
 * a NULL output). */
CARDKIT_API uint32_t KIOSKKIT_CALL requestCard(uint16_t* device_id, uint32_t* serial, uint32_t timeout_ms);

/* ---- Direct MIFARE Classic block access -------------------------------
 *
 * device_id: 0 for the newest reader whatever its id; otherwise the newest
 * reader's id, or the call returns 1 without touching any reader.
 * block: block number (its low byte is sent). No card check is made: the
 * reader answers for whatever card it last selected.
 */

/* Authenticates the sector of `block` with `key` (6 bytes).
 * key_selector: 1 = key A, 0 = key B.
 * Returns 0, 16 when the card refused the key, or 1 (no reader, wrong id,
 * transport failure, NULL key). */
CARDKIT_API uint32_t KIOSKKIT_CALL M1_AuthAt(uint16_t device_id, uint32_t block, uint32_t key_selector,
                                             const uint8_t key[6]);

/* Reads one block into `out` (16 bytes). Returns 0, 17 when the card refused,
 * or 1 (no reader, wrong id, transport failure, NULL out). */
CARDKIT_API uint32_t KIOSKKIT_CALL M1_ReadBlkAt(uint16_t device_id, uint32_t block, uint8_t out[16]);

/* Writes `data` (16 bytes) to one block. Returns 0, 18 when the card refused,
 * or 1 (no reader, wrong id, transport failure, NULL data). */
CARDKIT_API uint32_t KIOSKKIT_CALL M1_WriteBlkAt(uint16_t device_id, uint32_t block, const uint8_t data[16]);

/* Sounds the newest reader's buzzer and light.
 * serial: 0 for any reader; otherwise the card that must be in its field.
 * first, second: the signal's parameters, passed to the reader.
 * Returns 0 (whatever the reader answered), 6 when the reader's
 * configuration was not read when it was attached, or 1 (no reader, or not
 * the card given). */
CARDKIT_API uint32_t KIOSKKIT_CALL fmt10_beep(uint32_t serial, uint32_t first, uint32_t second);

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
CARDKIT_API int32_t KIOSKKIT_CALL des3_enc_dat(uint8_t* data, int32_t length, const uint8_t key[16]);

/* Decrypts data encrypted by des3_enc_dat in place: the same rounding to
 * n = (length + 7) / 8 whole blocks (none for lengths below 1), each block
 * decrypted independently, so that des3_dec_dat after des3_enc_dat with the
 * same key and length restores the data.
 *   data    in/out, n * 8 bytes.
 *   length  bytes of payload; values below 1 do nothing.
 *   key     16 bytes, read only.
 * Returns 0 always (also when refused for a null `data` or `key`). */
CARDKIT_API int32_t KIOSKKIT_CALL des3_dec_dat(uint8_t* data, int32_t length, const uint8_t key[16]);

/* Derives a 16-byte key from a master key and 8 bytes of diversification data
 * (an identifier): the derived bytes 0-7 are the triple-DES encryption of
 * `data` under the master key, bytes 8-15 that of `data` with every bit
 * inverted (each byte XOR 0xFF).
 *   data  8 bytes, read only, not changed.
 *   key   16 bytes, in: the master key; out: the derived key. Both halves are
 *         computed before `key` is written, so `data` may lie inside `key`.
 * Returns 0 always (also when refused for a null `data` or `key`; `key` then
 * keeps the master key). */
CARDKIT_API int32_t KIOSKKIT_CALL des3_diversify(const uint8_t data[8], uint8_t key[16]);

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
CARDKIT_API int32_t KIOSKKIT_CALL pboc_des3_mac(const uint8_t* data, int32_t length,
                                               const uint8_t key[16], uint8_t mac[4]);

#ifdef __cplusplus
}
#endif

#endif /* KIOSKKIT_CARDKIT_H */
