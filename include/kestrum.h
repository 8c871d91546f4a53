/*
 * brimvale-kestrum: measures the network path to a cooperating speed-test server (kestrum-server, port
 * 9301 by default): latency and jitter over fresh TCP connections, download and upload throughput over one
 * connection each, or all three in one run.
 *
 * Conventions of this interface
 *  - Ten plain functions; nothing runs when the library is loaded. Call kestrum_init() first.
 *  - Texts are NUL-terminated byte strings. Texts returned by the library live in static buffers owned by
 *    the library: the pointers stay the same for the life of the process and the texts are rewritten in
 *    place. Never free them.
 *  - Measuring functions (ping, download, upload, run_all) block the calling thread until the test is
 *    over. Run one test at a time, from one thread at a time: the results, the texts and the progress
 *    monitor exist once per process. kestrum_cancel() and kestrum_set_tick() may be called from any thread
 *    at any time, also while a test runs.
 *  - Failures are reported by the return value (-1.0 or -1) and a message in kestrum_last_error(). A
 *    successful call does not empty that text. The messages, exactly:
 *        "Invalid host"                          host NULL or empty
 *        "Invalid duration"                      duration_ms 0 or less
 *        "Cancelled by user"                     kestrum_cancel() was called (see there)
 *        "WSAStartup failed"                     the socket layer would not start (Windows)
 *        "DNS resolution failed"                 host could not be resolved, or port is not 1..65535
 *        "Connect failed to HOST:PORT"           every address refused or failed
 *        "Connect timeout after 3000 ms to HOST:PORT"   an address stayed silent for 3 s
 *        "Ping send failed"  "Ping timeout"      a ping probe could not be sent / its whole reply did not
 *                                                come within 2 s of the send
 *        "Send failed"  "Recv failed"            the server went away during a transfer
 *    HOST and PORT are the arguments as given; the whole text is cut at 255 characters.
 *  - Rates are megabits per second, 1 Mbit = 1,000,000 bits; times are milliseconds.
 *  - port is a TCP port, 1 to 65535. Any other value fails with "DNS resolution failed" before a name is
 *    resolved or a connection attempted (the resolver would wrap it: 65536 + 80 would reach port 80).
 *
 * A minimal host:
 *
 *     if (kestrum_init() != 0) return 1;
 *     if (kestrum_run_all("127.0.0.1", 9301, 5000) == 0)
 *         puts(kestrum_result_json());
 *     else
 *         fprintf(stderr, "%s\n", kestrum_last_error());
 *     kestrum_cleanup();
 */
#ifndef KESTRUM_H
#define KESTRUM_H

#if defined(_WIN32)
#if defined(KESTRUM_BUILDING)
#define KESTRUM_API __declspec(dllexport)
#elif defined(KESTRUM_STATIC)
#define KESTRUM_API
#else
#define KESTRUM_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define KESTRUM_API __attribute__((visibility("default")))
#else
#define KESTRUM_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Progress callback.
 *   phase      "ping", "download", "upload" or "complete"; owned by the library. A periodic report's label
 *              keeps its text until the next download or upload starts; the others are constant texts.
 *   rate_mbps  megabits per second (1 Mbit = 1,000,000 bits); 0.0 for ping and "complete".
 *   percent    0 to 100.
 * Periodic transfer reports arrive on the library's monitor thread, every 100 ms of transfer time; ping
 * samples, each transfer's final report and the full run's ("complete", 0.0, 100) arrive on the thread that
 * called the measuring function. The callback should return quickly: a transfer waits at most 500 ms for
 * the monitor thread when it stops. A callback slower than that may still be running, and may finish the
 * round of reports it was making, after the measuring call has returned; it never reports into a later
 * transfer.
 */
typedef void (*TickCallback)(const char *phase, double rate_mbps, int percent);

/*
 * Starts the socket layer (once, however often it is called), lowers the cancel flag and empties the
 * last-error text. Returns 0, or -1 with "WSAStartup failed" when the socket layer cannot start.
 * Results, the result document and the registered callback are kept. Call it before the first test, on
 * the thread that runs the tests, never while a test runs.
 */
KESTRUM_API int kestrum_init(void);

/*
 * Stops the socket layer if kestrum_init started it; otherwise does nothing. Returns 0, or the socket
 * layer's own result of stopping (WSACleanup's, Windows only). Results, texts and the callback survive;
 * a later kestrum_init() starts again. Never while a test runs.
 */
KESTRUM_API int kestrum_cleanup(void);

/*
 * Registers the progress callback; NULL unregisters. Any thread, any time: the library reads it afresh
 * before every report, so the change takes effect from the next report on. No return value, no error.
 */
KESTRUM_API void kestrum_set_tick(TickCallback cb);

/*
 * Asks the running test to stop. Every wait of a measuring call looks at the request: the wait for a
 * connection and the wait for a ping reply every 5 ms (on Windows the system's timer can stretch that to
 * about 16 ms), a transfer after every receive or send, each of which waits at most 20 ms, and then stops
 * its monitor thread within a few milliseconds. The call therefore returns -1.0 (or -1) with "Cancelled
 * by user" within about 30 ms of kestrum_cancel() (a few ms when it was waiting for a connection or a
 * reply), except that
 *  - a download or upload waits up to 500 ms more for the monitor thread when the progress callback is
 *    running on it at that moment (a callback that takes longer is left to finish on its own);
 *  - a callback running on the calling thread (a ping sample's report, a final report) returns first;
 *  - resolving the host is not interrupted: every ping sample and every transfer resolves it first, and a
 *    resolver that waits for a name server takes as long as the system's resolver settings allow (pass an
 *    address to avoid it).
 * A cancel after a test's last look at the request (from its own final report, say) leaves that test's
 * result standing; kestrum_run_all() still fails then, with "Cancelled by user". A cancelled test closes
 * its connection hard: what is still queued is dropped and the connection reset. The request stays
 * raised: every later ping, download or upload fails at once with "Cancelled by user" until
 * kestrum_init() or kestrum_run_all() lowers it. Any thread, also a signal handler's (it stores one
 * flag). No return value.
 */
KESTRUM_API void kestrum_cancel(void);

/*
 * Latency: `count` samples, each a fresh TCP connection carrying one ping probe; the round trip runs from
 * the connection attempt to the reply, so name resolution and the TCP handshake are part of it. Each
 * address gets 3 s to connect; the whole 8-byte reply must come within 2 s of the probe's send.
 *   host   a name or an address literal; NULL or "" fails with "Invalid host". Resolved on every sample.
 *   port   the server's TCP port, 1 to 65535.
 *   count  samples; below 1 counts as 1, above 1000 as 1000.
 * Returns the mean round trip in milliseconds, or -1.0. The mean and the jitter (mean absolute difference
 * of consecutive samples) go into the result document as "ping_ms" and "jitter_ms". After each sample the
 * callback gets ("ping", 0.0, percent of samples done) on the calling thread.
 * Messages: "Invalid host", "Cancelled by user", "DNS resolution failed", "Connect failed to HOST:PORT",
 * "Connect timeout after 3000 ms to HOST:PORT", "Ping send failed", "Ping timeout". The first failed
 * sample ends the test. Blocks the calling thread.
 */
KESTRUM_API double kestrum_ping(const char *host, int port, int count);

/*
 * Download throughput: one connection, the server streams for duration_ms and every byte received counts.
 *   host   as for kestrum_ping (resolved once). port: the server's TCP port.
 *   duration_ms  the planned transfer time, 1 or more, else "Invalid duration".
 * Returns the rate in Mbit/s over the time really taken (0.0 if nothing came), or -1.0. A server that ends
 * the stream early is a success with the bytes so far. The rate goes into the document as
 * "download_mbps". Progress: every 100 ms from the library's monitor thread ("download", average so far,
 * percent of duration_ms), then ("download", rate, 100) on the calling thread.
 * Messages: "Invalid host", "Invalid duration", "Cancelled by user", the connect messages of kestrum_ping,
 * "Send failed" (the command byte was refused), "Recv failed" (the connection broke). Blocks the calling
 * thread for the connection set-up plus about duration_ms.
 */
KESTRUM_API double kestrum_download(const char *host, int port, int duration_ms);

/*
 * Upload throughput: one connection, 64 KiB sends of a fixed payload for duration_ms.
 *   host, port, duration_ms  as for kestrum_download.
 * Returns the rate in Mbit/s, or -1.0; it goes into the document as "upload_mbps". What counts is what the
 * server's host has acknowledged, not what this machine's socket accepted: on a slow uplink the socket
 * holds seconds of data that never left. Linux and Windows 10 1703 or later can tell; elsewhere (older
 * Windows, Wine) the count falls back to the bytes the socket accepted, which reads high on links slower
 * than about 100 Mbit/s. Progress as for kestrum_download, labelled "upload", counted the same way.
 * Messages: as for kestrum_download, with "Send failed" when the connection breaks. Blocks the calling
 * thread for the connection set-up plus about duration_ms.
 */
KESTRUM_API double kestrum_upload(const char *host, int port, int duration_ms);

/*
 * Ten ping samples, then a download and an upload of duration_ms each, against one server. Checks host and
 * duration_ms ("Invalid host", "Invalid duration"), then lowers the cancel flag and empties the
 * last-error text. Returns 0 when all three succeed, -1 at the first stage that fails or is cancelled,
 * with that stage's message and the phase "error"; the figures gathered so far stay in
 * kestrum_result_json(). Progress: the three tests' reports, then ("complete", 0.0, 100). Blocks the
 * calling thread for about twice duration_ms plus the samples.
 */
KESTRUM_API int kestrum_run_all(const char *host, int port, int duration_ms);

/*
 * The results gathered for the current server as one line of compact JSON, e.g.
 * {"server":"192.0.2.10:9301","ping_ms":0.41,"jitter_ms":0.05,"download_mbps":941.0,"upload_mbps":0.0,
 *  "duration_ms":2000,"phase":"complete"}
 * Tests against the same "HOST:PORT" add to one record; a test against another server starts a new one.
 * "phase" is "idle", "ping", "download", "upload", "complete" or "error". "{}" before the first test.
 * Never NULL; a static buffer of at most 1023 characters, rewritten by every test. Any thread, but read
 * it while no test runs.
 */
KESTRUM_API const char *kestrum_result_json(void);

/*
 * The message of the last failure (see the list at the top); empty when none was recorded since
 * kestrum_init() or kestrum_run_all(). Never NULL; a static buffer of at most 255 characters. Any thread,
 * but read it while no test runs.
 */
KESTRUM_API const char *kestrum_last_error(void);

#ifdef __cplusplus
}
#endif

#endif /* KESTRUM_H */
