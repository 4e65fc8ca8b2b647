/*
 * terminal_session: one self-service session, the way a terminal
 * application drives the kit. It waits for a card, reads and writes a block
 * on it, looks its holder up in the patron database, takes one banknote,
 * and runs an lf purse on the card (issue, charge, debit, reclaim).
 *
 * Build it against an installed kit:
 *   cc terminal_session.c $(pkg-config --cflags --libs cardkit cashgate patronlink)
 * Run it with the drive, port and reader folders the kit should use (see
 * README): KIOSKKIT_READER_DIR, KIOSKKIT_COM1, KIOSKKIT_DRIVE_C, KIOSKKIT_DRIVE_D.
 *
 * Arguments: database host, user, password and database name. The patron
 * is found by the card: the READER row whose R01B is the card's serial in
 * hex.
 */
#define _POSIX_C_SOURCE 200809L /* nanosleep */

#include <cardkit.h>
#include <cashgate.h>
#include <patronlink.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

static void pause_ms(long ms) {
  struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&t, NULL);
}

static int fail(const char* what, long code) {
  fprintf(stderr, "FAILED: %s (result %ld)\n", what, code);
  return 1;
}

/* The reader's card thread selects the card anew on every poll, which ends
 * an authentication; so authenticate right before each block command and try
 * again if the card answers 16, 17 or 18 once. */
static uint32_t write_block(uint32_t block, const uint8_t key[6], const uint8_t data[16]) {
  uint32_t r = 1;
  for (int attempt = 0; attempt < 3; ++attempt) {
    r = M1_AuthAt(0, block, 1, key);
    if (r == 0) r = M1_WriteBlkAt(0, block, data);
    if (r == 0 || r == 1) break;
  }
  return r;
}

static uint32_t read_block(uint32_t block, const uint8_t key[6], uint8_t out[16]) {
  uint32_t r = 1;
  for (int attempt = 0; attempt < 3; ++attempt) {
    r = M1_AuthAt(0, block, 1, key);
    if (r == 0) r = M1_ReadBlkAt(0, block, out);
    if (r == 0 || r == 1) break;
  }
  return r;
}

/* The lf purse, a second card layout, in a sector of its own on the same
 * card: issue it, charge it, debit a fee, and reclaim it. The base key and
 * the sector are the terminal's configuration (given once at start-up). */
static int lf_purse_session(uint32_t serial) {
  const uint8_t base_key[8] = {0x4B, 0x49, 0x4F, 0x53, 0x4B, 0x2D, 0x4C, 0x46};
  uint32_t balance = 0;
  uint32_t r = lf_setkey_water(0, 8, base_key);
  if (r != 0) return fail("configuring the lf purse", r);
  r = lf_initcard(serial);
  if (r != 0) return fail("issuing the lf purse", r);
  r = lf_readcard(serial, &balance);
  if (r != 0) return fail("reading the new lf purse", r);
  printf("Issued an lf purse in sector 8: balance %u.\n", balance);
  r = lf_charge(serial, 1000, &balance);
  if (r != 0) return fail("charging the lf purse", r);
  printf("Charged 1000: balance %u.\n", balance);
  r = lf_reduce(serial, 250, &balance);
  if (r != 0) return fail("debiting the lf purse", r);
  printf("Debited a fee of 250: balance %u.\n", balance);
  r = lf_readcard(serial, &balance);
  if (r != 0 || balance != 750) return fail("the lf purse does not read back 750", r);
  r = lf_reclaimcard(serial);
  if (r != 0) return fail("reclaiming the lf purse", r);
  printf("Reclaimed the lf purse: sector 8 is blank again.\n");
  return 0;
}

/* Polls the validator until it reports state `a` or `b` (10 seconds at most). */
static int poll_until(int32_t a, int32_t b) {
  int32_t state = 0, detail = 0;
  for (int i = 0; i < 100; ++i) {
    if (TarnPoll(&state, &detail) == 0 && (state == a || state == b)) return 1;
    pause_ms(100);
  }
  return 0;
}

int main(int argc, char** argv) {
  if (argc != 5) {
    fprintf(stderr, "usage: %s <db host> <db user> <db password> <db name>\n", argv[0]);
    return 2;
  }

  /* 1. A card. The library found the reader by itself when it was loaded. */
  printf("Waiting for a card on the reader...\n");
  uint16_t reader_id = 0;
  uint32_t serial = 0;
  uint32_t r = requestCard(&reader_id, &serial, 15000);
  if (r != 0) return fail("no card was presented within 15 seconds", r);
  printf("Card %08X is on reader %u.\n", serial, reader_id);
  fmt10_beep(serial, 1, 1);

  /* 2. Raw block access with the factory key of a blank card. */
  const uint8_t factory_key[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  uint8_t block[16] = {0};
  memcpy(block, "KIOSK VISIT 0001", 16);
  r = write_block(4, factory_key, block);
  if (r != 0) return fail("writing block 4", r);
  uint8_t back[16] = {0};
  r = read_block(4, factory_key, back);
  if (r != 0) return fail("reading block 4", r);
  if (memcmp(block, back, 16) != 0) return fail("block 4 does not read back what was written", 0);
  printf("Wrote and read back block 4: \"%.16s\".\n", (const char*)back);

  /* 3. The patron behind the card. */
  char patron_key[16];
  snprintf(patron_key, sizeof patron_key, "%08X", serial);
  int32_t d = ConnectDB(argv[2], argv[3], argv[1], argv[4]);
  if (d != 0) return fail("connecting to the patron database", d);
  d = SrchRecFirst(patron_key);
  if (d != 0) return fail("looking the patron up", d);
  char name[256], expiry[256];
  if (GetRecField("R02A", name) != 0 || GetRecField("R05D", expiry) != 0)
    return fail("reading the patron's fields", -1);
  printf("Patron %s: %s, card valid until %s.\n", patron_key, name, expiry);
  CloseDB();

  /* 4. One banknote. After a reset the validator powers up and initialises;
   * it takes bills once it is enabled and reports itself idling. */
  int32_t first = 0, second = 0;
  if (TarnOpenPort(1) != 0) return fail("opening the validator on COM1", -1);
  if (TarnReset(&first, &second) != 0) return fail("resetting the validator", -1);
  if (!poll_until(0x19, 0x14)) return fail("the validator did not finish initialising", -1);
  /* Bill types 0 to 5, stacked at once (no escrow). */
  if (TarnEnableBillType(0x3F, 0, &first, &second) != 0) return fail("enabling bill types", -1);
  if (!poll_until(0x14, 0x14)) return fail("the validator did not start accepting bills", -1);
  printf("Insert a banknote.\n");
  fflush(stdout);
  int stacked = 0;
  for (int i = 0; i < 600 && !stacked; ++i) { /* up to a minute */
    if (TarnPoll(&first, &second) != 0) return fail("polling the validator", -1);
    if (first == 0x81) {
      printf("Bill of type %d stacked.\n", second);
      stacked = 1;
    } else if (first == 0x82) {
      printf("Bill of type %d returned.\n", second);
    }
    if (!stacked) pause_ms(100);
  }
  TarnDisableBill(&first, &second);
  TarnClosePort();
  if (!stacked) return fail("no banknote arrived within a minute", -1);

  /* 5. One more card layout: the lf purse. */
  if (lf_purse_session(serial) != 0) return 1;

  printf("Session complete.\n");
  return 0;
}
