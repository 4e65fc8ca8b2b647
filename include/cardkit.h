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

/* ---- Card layouts: conventions ------------------------------------------
 *
 * The functions of the lf, lfzx, gsts, gstshot, water and lfzxdc layouts
 * below work on the card in the newest reader's field, holding that reader
 * for the whole operation.
 *  - serial: the card expected, as requestCard reports it; 0 accepts
 *    whatever card is there. lf and lfzxdc also derive the card's keys from
 *    this argument, so serial 0 opens only a card issued under serial 0;
 *    gsts and gstshot derive them from the card actually in the field.
 *  - Results (16-bit codes in a 32-bit integer): 0 success; 1 no reader, no
 *    card or not the card named, a transport failure, a NULL pointer the
 *    function needs, and for lfzx, gsts, gstshot and water also a card whose
 *    balance block and backup are both invalid or whose stale backup could
 *    not be rewritten; 3 a configuration or argument the layout cannot use
 *    (per function; nothing is sent to the card); 6 the reader's
 *    configuration was not read when it was attached; 16 authentication or
 *    a trailer write failed; 17 a block of a sector could not be read or
 *    written twice in a row; 18 a single block write was refused; 64 a debit
 *    larger than the balance (nothing written). Other codes per function.
 *  - Output arguments are written only when the result is 0, unless said.
 *  - Balances that are rewritten together with a backup copy (lf, lfzx,
 *    gsts, gstshot, water) are written balance block first: once the card
 *    has acknowledged the balance block the transaction has happened and
 *    the function returns 0, even if the backup write then failed; the
 *    next read of the card brings the backup up to date. A failure result
 *    means the balance block was not acknowledged: a later read shows either
 *    the old balance or, when the card took the write but its answer was
 *    lost, the new one, and never an older one. Read the card before
 *    repeating a charge or debit that failed.
 *  - The fixed key material each deployment chooses (one place in the
 *    source, cardkit/layouts/deployment_constants.h; cards written under one
 *    set of values open only under the same values):
 *      lf time-card base key:  5A 3C 96 E1 0F 1E 2D 4B
 *                              (the constants 0x5A3C96E1, 0x0F1E2D4B)
 *      gsts key A:             A7 1C, then the card serial (4 bytes, most
 *                              significant first)
 *      gstshot key A:          3D, the card serial (most significant first), B2
 *      lfzxdc key constants:   c0 = 6E, c2 = 1B, c3 = D4, c4 = 85, c5 = 39
 *                              (key byte 1 is s1 unchanged: there is no c1)
 */

/* ---- lf purse card --------------------------------------------------------
 *
 * One sector S (configured) holds an unsigned 32-bit balance as a MIFARE
 * value block (block 4S, least significant byte first) with a plain copy of
 * the balance in block 4S+1 (bytes 0-3); block 4S+2 holds 20 99 12 31 55 and
 * zeros. Key A and key B of the sector are the same per-card key: the
 * message (S, 0, 0, 0, serial most significant byte first) XOR the base key
 * reversed, encrypted with two-key triple DES under the base key b0..b7
 * followed by (~b3)+5, b7, b6+7, ~b2, b1, (~b4)+3, ~b0, b5+1; its first six
 * bytes. The configuration is process-wide; it may be changed while other
 * threads work (an operation uses the configuration it found when it
 * started).
 *
 * The card functions return 3, without touching the reader, when the
 * configured sector cannot hold the purse: sector 0 (its block 0 is the
 * card's read-only manufacturer block; 0 is also the sector before
 * lf_setkey_water is called) or 32 and above (not four-block sectors).
 */

/* Configures the lf layout for every later lf call.
 *   sector    the purse sector; its low byte is used.
 *   base_key  8 bytes, copied.
 * Returns 0 (1 for a NULL base_key). */
CARDKIT_API uint32_t KIOSKKIT_CALL lf_setkey_water(uint32_t unused, uint32_t sector, const uint8_t base_key[8]);

/* The lf card key of `serial` under the configured sector and base key, into
 * `key` (6 bytes). Touches no reader; works before lf_setkey_water (sector 0,
 * all-zero base key). Returns 0 (1 for a NULL key). */
CARDKIT_API uint32_t KIOSKKIT_CALL lf_getcardkey(uint32_t serial, uint8_t key[6]);

/* Issues a blank card: writes the sector trailer (the card key as key A and
 * key B, access bytes 7F 07 88 69) opening it with the reader's card
 * transport key, then blocks 0-2 (block 0 zero: the first read rebuilds it at
 * balance 0). Returns 0; 1; 3; 6; 16 when the trailer could not be written
 * (also for a card already issued: reclaim it first); 17 when a data block
 * could not be written (the sector then already carries the card key). */
CARDKIT_API uint32_t KIOSKKIT_CALL lf_initcard(uint32_t serial);

/* Returns the purse sector to the blank state: zeroes blocks 0-2 and writes
 * the transport trailer (the reader's card transport key as both keys,
 * FF 07 80 69). A sector that already opens with the transport key is left
 * alone (0). Returns 0; 1; 3; 6; 16 when the sector opens with neither key;
 * 18 when a block write was refused. */
CARDKIT_API uint32_t KIOSKKIT_CALL lf_reclaimcard(uint32_t serial);

/* Reads the balance into *balance. A block 0 that is not a valid value block
 * is rebuilt from the backup, and a backup that holds another balance than a
 * valid block 0 is brought up to date, on the card, before the balance is
 * reported. Returns 0; 1; 3; 6; 16 when the sector could not be read; 17 when
 * such a repair could not be written (no balance then). */
CARDKIT_API uint32_t KIOSKKIT_CALL lf_readcard(uint32_t serial, uint32_t* balance);

/* Adds `amount` to the balance (modulo 2^32, no overflow check) and writes
 * the new balance into *new_balance. Reads (and repairs) the card as
 * lf_readcard, then writes block 0, then the backup. Returns 0; 1; 3; 6; 16;
 * 17 (see the conventions above for what a failure leaves). */
CARDKIT_API uint32_t KIOSKKIT_CALL lf_charge(uint32_t serial, uint32_t amount, uint32_t* new_balance);

/* Subtracts `amount` from the balance, as lf_charge. Returns as lf_charge,
 * and 64, with nothing written, when the balance is lower than `amount`. */
CARDKIT_API uint32_t KIOSKKIT_CALL lf_reduce(uint32_t serial, uint32_t amount, uint32_t* new_balance);

/* Writes a time card in sector 6: block 24 zero; block 25 "T" (0x54), the six
 * `time` bytes as given (their meaning is the host's), zeros; block 26 zeros
 * and, in bytes 14 (low) and 15 (high), the CRC-16/CCITT-FALSE (polynomial
 * 0x1021, initial value 0xFFFF, no reflection, no final XOR) of the 46 bytes
 * before it; trailer: key A FF FF FF FF FF FF, 7F 07 88 69, key B the lf card
 * key derivation with sector 6 and the time-card base key (above). A card
 * that already is a time card has its data rewritten. The lf configuration is
 * not used. Returns 0; 1; 6; 16 when sector 6 opens with neither key; 17. */
CARDKIT_API uint32_t KIOSKKIT_CALL lf_initcardtime(uint32_t serial, const uint8_t time[6]);

/* Rewrites the trailer of `sector` (0-31) with `new_key` as key A and key B
 * and the transport access bytes FF 07 80 69, opening it with `current_key`
 * (tried as key A, then as key B). Returns 0; 1; 3 for a sector of 32 or
 * more (their trailer is not block 4*sector+3); 6; 16 when the trailer could
 * not be written. */
CARDKIT_API uint32_t KIOSKKIT_CALL lf_modifykey(uint32_t serial, uint8_t sector, const uint8_t new_key[6],
                                                const uint8_t current_key[6]);

/* Both check only that the card is there, and send nothing to it (one
 * function under two names). The last three arguments are ignored.
 * Returns 0; 1; 6. */
CARDKIT_API uint32_t KIOSKKIT_CALL lf_readsect(uint32_t serial, uint32_t unused1, uint32_t unused2,
                                               uint32_t unused3);
CARDKIT_API uint32_t KIOSKKIT_CALL lf_writesect(uint32_t serial, uint32_t unused1, uint32_t unused2,
                                                uint32_t unused3);

/* ---- lfzx, gsts and gstshot cards ---------------------------------------
 *
 * One design, three layouts: a sector Q (lfzx 6, gsts 15, gstshot 11) holds a
 * 16-bit balance in block 4Q (bytes 2-3, least significant first, guarded by
 * check bytes 0, 1, 5 and 15), a fixed header in block 4Q+1 and a copy of
 * block 4Q in block 4Q+2. The trailer carries FF 07 80 69 between key A and
 * key B:
 *   lfzx     key A = key B = "b7e0a9" (the six ASCII codes)
 *   gsts     key A = A7 1C + card serial; key B = 2D 94 E1 5B C0 76
 *   gstshot  key A = 3D + card serial + B2; key B = 2D 94 E1 5B C0 76
 * The gsts and gstshot keys (and the gsts check bytes, which take in the
 * serial's low byte) use the serial of the card in the field, never the
 * serial argument. A gstshot balance block is valid when byte 1 holds
 * byte 2 + byte 3 + byte 4 (as it is written) or byte 2 + byte 3.
 * A read or write first loads the card: block 4Q when valid (a backup that
 * differs from it is rewritten), else the backup when valid. lfzxdc_writecard
 * (further down) is lfzx_writecard.
 */

/* Issue: writes balance 0, the header and the backup opening the sector with
 * the reader's card transport key (as key A, then as key B), then the
 * trailer. Returns 0; 1; 6; 16 when the trailer could not be written; 16 or
 * 17 when the data could not be written (also on a card already issued). */
CARDKIT_API uint32_t KIOSKKIT_CALL lfzx_initcard(uint32_t serial);
CARDKIT_API uint32_t KIOSKKIT_CALL gsts_initcard(uint32_t serial);
CARDKIT_API uint32_t KIOSKKIT_CALL gstshot_initcard(uint32_t serial);

/* Read: the balance (0-65535) into *balance. Returns 0; 1 (also: both
 * copies invalid, or a stale backup that could not be rewritten); 6; 16;
 * 17. */
CARDKIT_API uint32_t KIOSKKIT_CALL lfzx_readcard(uint32_t serial, uint32_t* balance);
CARDKIT_API uint32_t KIOSKKIT_CALL gsts_readcard(uint32_t serial, uint32_t* balance);
CARDKIT_API uint32_t KIOSKKIT_CALL gstshot_readcard(uint32_t serial, uint32_t* balance);

/* Write: sets the balance to the low 16 bits of `balance` (65536 stores 0);
 * it does not add. Loads the card as the read does, then writes the balance
 * block, then its copy. Returns as the read. */
CARDKIT_API uint32_t KIOSKKIT_CALL lfzx_writecard(uint32_t serial, uint32_t balance);
CARDKIT_API uint32_t KIOSKKIT_CALL gsts_writecard(uint32_t serial, uint32_t balance);
CARDKIT_API uint32_t KIOSKKIT_CALL gstshot_writecard(uint32_t serial, uint32_t balance);

/* Reclaim: zeroes the three data blocks with key A, then writes the trailer
 * with the reader's card transport key as both keys and FF 07 80 69.
 * Returns 0; 1; 6; 16 (also when the trailer write failed: the data are then
 * already zero); 17. */
CARDKIT_API uint32_t KIOSKKIT_CALL lfzx_reclaimcard(uint32_t serial);
CARDKIT_API uint32_t KIOSKKIT_CALL gsts_reclaimcard(uint32_t serial);
CARDKIT_API uint32_t KIOSKKIT_CALL gstshot_reclaimcard(uint32_t serial);

/* ---- water card -----------------------------------------------------------
 *
 * A user card keeps a 24-bit balance (most significant byte first) in block
 * 4W of the water sector W, with its complement, a checksum (byte 15 = sum of
 * bytes 0-14) and a copy of the block in block 4W+2; key A and key B are the
 * water key, with access bytes FF 07 80 69. A parameter card carries W and the
 * water key in sector 0 block 1 (sector 0 keyed with the parameter-card key
 * 3C 71 0E 9A 5D 28) and the host's parameters in block 4W+1. Every card
 * function returns 3, before touching any reader, while no water key is
 * configured, and when the configured sector is 32: blocks 4W to 4W+3 form a
 * sector only below 32 (a 1K card has no sector 32; on a 4K card sector 32 has
 * sixteen blocks and 4W+3 is not its trailer). A sector beyond a 1K card
 * (16-31) fails with 16 before anything is written. The configuration is
 * process-wide and may be changed while other threads work.
 */

/* Configures the water key (6 bytes, copied) and sector (1-32). Logs the call
 * first. Returns 0; 3 when the sector is outside 1-32 (the previous
 * configuration stays) or `key` is NULL (not logged). */
CARDKIT_API uint32_t KIOSKKIT_CALL water_yks_setkey(uint32_t unused, int32_t sector, const uint8_t key[6]);

/* Makes a parameter card: sector 0 block 1 = W, the water key, zeros,
 * checksum, and the sector 0 trailer; block 4W+1 = "f" (0x66), the low byte of
 * `code`, `byte_argument`, `argument32` (4 bytes), the low 24 bits of
 * `argument24` (3 bytes), zeros, checksum, and the water sector's trailer. A
 * card that already is a parameter card keeps its trailers and has the
 * blocks rewritten. The water sector must open with the card transport key or
 * the water key before anything is written. Returns 0; 1; 3 (no key, `code`
 * 0, or sector 32); 6; 16. */
CARDKIT_API uint32_t KIOSKKIT_CALL water_initparamcard(uint32_t serial, uint8_t byte_argument, int32_t argument32,
                                                       uint32_t code, int32_t argument24);

/* Issues a user card at balance 0 (data opened with the card transport key,
 * then the trailer). `text` is only logged (NULL logs as empty). A card
 * whose water sector already opens with the water key is left as it is (0).
 * Returns 0; 1; 2 when the card did not answer a new card request; 3; 6; 16. */
CARDKIT_API uint32_t KIOSKKIT_CALL water_initcard(uint32_t serial, const char* text);

/* Reads the balance into *balance: block 4W when its checksum holds (a copy
 * that differs is rewritten), else the copy. Returns 0; 1; 3; 6; 16; 17. */
CARDKIT_API uint32_t KIOSKKIT_CALL water_readcard(uint32_t serial, uint32_t unused, uint32_t* balance);

/* Sets the balance to the low 24 bits of `balance` (two's complement for a
 * negative one): loads the card as water_readcard, then writes block 4W, then
 * its copy. Returns as water_readcard. */
CARDKIT_API uint32_t KIOSKKIT_CALL water_writecard(uint32_t serial, uint32_t unused, int32_t balance);

/* Puts the water sector's trailer back to the factory keys (FF FF FF FF FF FF
 * as both keys, FF 07 80 69), opening it with the water key; the data blocks
 * stay. Returns 0; 1; 3; 6; 16. */
CARDKIT_API uint32_t KIOSKKIT_CALL water_reclaimcard(uint32_t serial, uint32_t unused);

/* ---- lfzxdc card ----------------------------------------------------------
 *
 * Sectors 3 and 4, keyed with one per-card key derived from the serial
 * argument (s0 its least significant byte): s0^c0, s1, s2^c2, s3^c3,
 * s0^s2^c4, s1^s3^c5 (constants above). Sector 3 (blocks 12-13, numbers most
 * significant byte first): card type (0x13 user, 0x16 clear), card-number
 * prefix (4 BCD digits) and number (8 BCD digits), purchase sequence number
 * and amount, price value and word, sequence number + 1, a check word and a
 * checksum. Sector 4 belongs to the consuming device; its counter (block 16
 * bytes 9-10) tells which purchase it has taken. Every function but issue,
 * reclaim and lfzxdc_readmoney reads blocks 12-13 and 16-17 first; when block
 * 13 is out of step with block 12 (a write cut off between the two) it is
 * brought in step on the card. Writes set fields (they do not add), block 12
 * first: repeating a call that failed writes the same data again.
 */

/* Issue: for each of sectors 3 and 4, writes the data (sector 3: type 0x13,
 * zeros, checksum; sector 4: zeros) with the card transport key, then its
 * trailer (card key as both keys, FF 07 80 69); a sector that already opens
 * with the card key is left alone. Returns 0; 1; 2 when the card did not
 * answer a new card request; 6; 16. */
CARDKIT_API uint32_t KIOSKKIT_CALL lfzxdc_initcard(uint32_t serial);

/* Puts the trailers of sectors 3 and 4 back to the factory keys (FF..FF,
 * FF 07 80 69), opening them with the card key; data stay. Returns 0; 1; 6;
 * 16. */
CARDKIT_API uint32_t KIOSKKIT_CALL lfzxdc_reclaimcard(uint32_t serial);

/* The card-number prefix and number, decoded from BCD (a clear card's AA AA
 * decodes as 11110). Returns 0; 1; 6; 16; 17. */
CARDKIT_API uint32_t KIOSKKIT_CALL lfzxdc_readcard(uint32_t serial, uint32_t* prefix, uint32_t* number);

/* The purchase state of the last card an lfzxdc function read on this thread
 * (or, on a thread that has read none, on any thread); sends nothing to a
 * reader. *next_sequence = the device counter + 1; *pending = 0 when the
 * counter equals the recorded purchase's sequence number, else its amount.
 * Both outputs are always written. Returns 0; 1 for a NULL output; 3 when the
 * device has not used the card yet (block 16 all zero; both outputs 0). */
CARDKIT_API uint32_t KIOSKKIT_CALL lfzxdc_readmoney(uint32_t unused, uint32_t* next_sequence, uint32_t* pending);

/* Makes the card a user card (type 0x13) with the prefix (0-9999) and the
 * number modulo 100000000 in BCD. Returns 0; 1; 3 for a prefix of 10000 or
 * more (nothing sent); 6; 16; 17. */
CARDKIT_API uint32_t KIOSKKIT_CALL lfzxdc_writecardno(uint32_t serial, uint16_t prefix, uint32_t number);

/* Stores the price value and word (and 0F 78) and the new check word.
 * Returns 0; 1; 6; 16; 17. */
CARDKIT_API uint32_t KIOSKKIT_CALL lfzxdc_writeprice(uint32_t serial, uint16_t price_word, uint32_t price_value);

/* Records a purchase: the low 16 bits of `sequence`, `amount`, the low 16 bits
 * of sequence + 1, and the check word. Returns 0; 1; 6; 16; 17. */
CARDKIT_API uint32_t KIOSKKIT_CALL lfzxdc_charge(uint32_t serial, uint32_t sequence, uint16_t amount);

/* Makes the card a clear card: type 0x16, 00, AA AA, 2C; the rest stays.
 * Returns 0; 1; 6; 16; 17. */
CARDKIT_API uint32_t KIOSKKIT_CALL lfzxdc_makeclearcard(uint32_t serial);

/* The same function as lfzx_writecard: sets the 16-bit balance the lfzx layout
 * keeps in sector 6. */
CARDKIT_API uint32_t KIOSKKIT_CALL lfzxdc_writecard(uint32_t serial, uint32_t balance);

#ifdef __cplusplus
}
#endif

#endif /* KIOSKKIT_CARDKIT_H */
