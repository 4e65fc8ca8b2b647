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

/* ---- Readers and cards ------------------------------------------------
 *
 * The library finds readers by itself from the moment it is loaded: a
 * background thread opens each newly plugged reader, brings up its encrypted
 * link and reads its configuration; a thread per reader then watches its
 * field for cards. Every function below addresses the newest reader (the
 * one attached last).
 *
 * Results of the functions that return a result code are 16-bit codes
 * carried in a 32-bit integer.
 */

/* Whether the list of readers changed (a reader was attached, removed or
 * given a new device id) since the last call. Returns 1 once per change,
 * then 0. */
CARDKIT_API uint32_t devlistupdate(void);

/* The device ids of the attached readers, newest first.
 * ids:      array of `capacity` entries to fill, or NULL to only count.
 * capacity: number of entries `ids` holds; never more are written.
 * Returns the number of ids written (with ids NULL: the number of readers). */
CARDKIT_API uint32_t readdevlist(uint16_t* ids, uint32_t capacity);

/* Gives the reader at `position` (0 = newest, 1 = the one before, ...) the
 * device id `new_id`. Returns 0 when the reader accepted it, 1 when the
 * exchange failed (the old id stays), 5 when there is no reader at that
 * position. */
CARDKIT_API uint32_t writedevid(uint32_t position, uint16_t new_id);

/* Waits for a card on the newest reader.
 * device_id, serial: outputs, both required; written only on success. The
 *            serial is the card's four UID bytes, the first most significant.
 * timeout_ms: how long to wait for a card to arrive when none is present;
 *            0 only checks.
 * Returns 0 when a card is present or arrived in time, 1 otherwise (also for
 * a NULL output). */
CARDKIT_API uint32_t requestCard(uint16_t* device_id, uint32_t* serial, uint32_t timeout_ms);

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
CARDKIT_API uint32_t M1_AuthAt(uint16_t device_id, uint32_t block, uint32_t key_selector,
                               const uint8_t key[6]);

/* Reads one block into `out` (16 bytes). Returns 0, 17 when the card refused,
 * or 1 (no reader, wrong id, transport failure, NULL out). */
CARDKIT_API uint32_t M1_ReadBlkAt(uint16_t device_id, uint32_t block, uint8_t out[16]);

/* Writes `data` (16 bytes) to one block. Returns 0, 18 when the card refused,
 * or 1 (no reader, wrong id, transport failure, NULL data). */
CARDKIT_API uint32_t M1_WriteBlkAt(uint16_t device_id, uint32_t block, const uint8_t data[16]);

/* Sounds the newest reader's buzzer and light.
 * serial: 0 for any reader; otherwise the card that must be in its field.
 * first, second: the signal's parameters, passed to the reader.
 * Returns 0 (whatever the reader answered), 6 when the reader's
 * configuration was not read when it was attached, or 1 (no reader, or not
 * the card given). */
CARDKIT_API uint32_t fmt10_beep(uint32_t serial, uint32_t first, uint32_t second);


#ifdef __cplusplus
}
#endif

#endif /* KIOSKKIT_CARDKIT_H */
