/*
 * patronlink — bridge to the patron records of the library-management
 * system's MySQL/MariaDB database.
 *
 * patronlink keeps one connection (port 3306, character set GBK), a
 * one-row cursor over the table READER searched on its column R01B, and a
 * pending record from which one INSERT or UPDATE is built. It also gives
 * the salted digest of a patron password and the two patron dates.
 *
 * Conventions of every function below:
 *  - Texts are zero-terminated byte strings in GBK. Buffers belong to the
 *    caller; the library never hands out memory.
 *  - Results are signed 32-bit codes; no function throws or aborts on any
 *    input. Input beyond the limits stated per function is refused with -1
 *    and nothing is written past a buffer.
 *  - The library keeps one process-wide state and takes no locks: call it
 *    from one thread at a time.
 *  - Keys and values are escaped for the connection (its character set and
 *    the server's SQL mode) before they enter a statement, so quotes and
 *    backslashes in them are stored as they are and never change the
 *    statement.
 *  - No call waits without bound. Connecting (the TCP connection and the
 *    server's greeting) gives up after 5 seconds; within any later call each
 *    wait for the server to take a request gives up after 10 seconds, and
 *    each wait for its answer after 10 seconds (a statement stuck behind a
 *    lock is cut off then). A call cut off by a time-out, like one that finds
 *    the server gone, fails with the client library's result (2013 lost
 *    connection, 2006 server gone away, or -1) and leaves the connection
 *    closed: the next ConnectDB connects afresh.
 *  - TLS is turned on by the deployment, not by the host program, through
 *    environment variables read at each ConnectDB:
 *      KIOSKKIT_PATRON_TLS_CA    PEM file of the certificate authority that
 *                                signed the server's certificate. When set
 *                                (not empty) the connection must be TLS:
 *                                the server's certificate must chain to
 *                                this authority and name the host given to
 *                                ConnectDB, and a server without TLS is
 *                                refused.
 *      KIOSKKIT_PATRON_TLS_CERT  the terminal's own certificate and its key
 *      KIOSKKIT_PATRON_TLS_KEY   (PEM), for accounts that require one; both
 *                                or neither, and only with the CA.
 *    A setting that cannot be honoured (a certificate without its key or
 *    without the CA: nothing is sent then; a file that cannot be read; a
 *    server certificate that does not verify) fails ConnectDB with -80001
 *    and the reason in the message; it never falls back to a connection in
 *    clear. Unset, the connection is plain TCP as before.
 *
 * Usual order: ConnectDB; SrchRecFirst and GetRecField to read; to change,
 * SrchRecFirst (its key selects the row an update changes), Edit or
 * AddNew, SetRecField per field, Update; finally CloseDB.
 */
#ifndef KIOSKKIT_PATRONLINK_H
#define KIOSKKIT_PATRONLINK_H

#include <stdint.h>

#if defined(_WIN32)
#  if defined(PATRONLINK_BUILD)
#    define PATRONLINK_API __declspec(dllexport)
#  else
#    define PATRONLINK_API __declspec(dllimport)
#  endif
#else
#  define PATRONLINK_API __attribute__((visibility("default")))
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

/*
 * Connects to the database `database` on `host`, port 3306, as `user` with
 * `password`, and switches the connection to GBK. A NULL argument takes the
 * client library's default (NULL host: the local server).
 * Once connected, further calls return 0 at once without contacting the
 * server, whatever their arguments, until CloseDB or until a call finds the
 * connection lost (see the conventions above).
 * On failure the reason is shown in the message box "QUILL 消息" (on Linux
 * one line on standard error: "QUILL 消息: <reason>", UTF-8) and the next
 * call tries again with a fresh connection. Returns within about 5 seconds
 * when the server does not answer; uses TLS as KIOSKKIT_PATRON_TLS_CA and
 * its companions ask (see the conventions above).
 * Returns 0 connected (or already connected); -80001 the connection failed.
 */
PATRONLINK_API int32_t KIOSKKIT_CALL ConnectDB(const char* user, const char* password, const char* host,
                                               const char* database);

/* Releases the cursor and closes the connection. ConnectDB may follow. */
PATRONLINK_API void KIOSKKIT_CALL CloseDB(void);

/*
 * Runs SELECT * FROM READER WHERE R01B = '<key>' and keeps the first row of
 * the result as the cursor (further rows are not reachable); the previous
 * result is released. The key (at most 61 bytes) also selects the row a
 * later Update in edit mode changes, even when this search fails.
 * Returns 0 a row was found; -10 no row; -100 storing the result failed;
 * -1 key NULL or longer than 61 bytes, or no connection object (after
 * CloseDB or a failed ConnectDB), nothing sent; any other non-zero value:
 * the client library's query result, the cursor then stays as it was.
 */
PATRONLINK_API int32_t KIOSKKIT_CALL SrchRecFirst(const char* key);

/*
 * Copies the current row's value of the column named `field_name` (exact,
 * case-sensitive) with its terminator into `value`; a NULL value gives an
 * empty text. `value` must have room for the column's longest value plus
 * the terminator; it is made empty first in every case.
 * Returns 0 copied; -1 no current row (the search found none, or Update or
 * CloseDB released it), no such column, or `field_name` or `value` NULL;
 * before any search: the connection's last error number (0 when there was
 * none, so the value is then empty).
 */
PATRONLINK_API int32_t KIOSKKIT_CALL GetRecField(const char* field_name, char* value);

/* Starts a pending record that Update inserts into READER. */
PATRONLINK_API void KIOSKKIT_CALL AddNew(void);

/* Starts a pending record that Update writes to the row of the last
 * search's key. */
PATRONLINK_API void KIOSKKIT_CALL Edit(void);

/*
 * Adds one field to the pending record: `field_name` a plain column name
 * (letters, digits, '_', '$', GBK characters; at most 31 bytes), `value` at
 * most 255 bytes; at most 40 fields per pending record.
 * Returns 0 added; -1 refused (NULL, too long, not a plain name, full).
 */
PATRONLINK_API int32_t KIOSKKIT_CALL SetRecField(const char* field_name, const char* value);

/*
 * Builds the pending statement, runs it and commits:
 *   after AddNew: insert into READER(A,B) values('1','2')
 *   after Edit:   update READER set A='1',B='2'  where R01B = '<key>'
 * The cursor's result is released whatever the outcome; the pending record
 * stays as it is, so Update may run it again.
 * Returns 0 executed and committed; -1 the server rejected the statement,
 * or nothing was sent: no AddNew/Edit, no field set, statement longer than
 * 4095 bytes, or no connection object.
 */
PATRONLINK_API int32_t KIOSKKIT_CALL Update(void);

/*
 * Writes the 32 lower-case hexadecimal characters of the MD5 digest of
 * "zorb" followed by `password` into `digest` (at least 32 bytes). No
 * terminator is written: byte 32 onwards is left untouched.
 * Returns 0; -1 `password` or `digest` NULL, or the password longer than
 * 123 bytes (the digest buffer is then left untouched).
 */
PATRONLINK_API int32_t KIOSKKIT_CALL GetReaderPasswrod(const char* password, char* digest);

/* Today's local date as YYYYMMDD (e.g. 20260101). */
PATRONLINK_API int32_t KIOSKKIT_CALL GetNowDate(void);

/*
 * The local date 345600000 seconds (4000 days) from now, as YYYYMMDD.
 * The step is in seconds: where the local offset changes in between, a
 * call near midnight can land one day off the calendar date.
 */
PATRONLINK_API int32_t KIOSKKIT_CALL GetEndDate(void);

#ifdef __cplusplus
}
#endif

#endif /* KIOSKKIT_PATRONLINK_H */
