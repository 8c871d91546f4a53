/*
 * brimvale-kestrum: measures the network path to a cooperating speed-test server.
 *
 * Conventions of this interface
 *  - Ten plain functions; nothing runs when the library is loaded.
 *  - Texts are NUL-terminated byte strings. Texts returned by the library live in static buffers owned by
 *    the library: the pointers stay the same for the life of the process and the texts are rewritten in
 *    place. Never free them.
 *  - Measuring functions block the calling thread until the test is over. Run one test at a time: the
 *    results, the texts and the progress monitor exist once per process.
 *  - Failures are reported by the return value (-1.0 or -1) and a message in kestrum_last_error(). A
 *    successful call does not empty that text.
 *  - kestrum_cancel() and kestrum_set_tick() may be called from any thread at any time.
 *
 * A minimal host:
 *
 *     kestrum_init();
 *     if (kestrum_run_all("127.0.0.1", 5201, 2000) == 0)
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
 *   phase      "ping", "download", "upload" or "complete"; owned by the library, valid during the call.
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
 * Results, the result document and the registered callback are kept.
 */
KESTRUM_API int kestrum_init(void);

/*
 * Stops the socket layer if kestrum_init started it; otherwise does nothing. Returns 0, or the socket
 * layer's own result of stopping. Results, texts and the callback survive.
 */
KESTRUM_API int kestrum_cleanup(void);

/* Registers the progress callback; NULL unregisters. Any thread, any time; used from the next report on. */
KESTRUM_API void kestrum_set_tick(TickCallback cb);

/*
 * Asks the running test to stop; it ends with "Cancelled by user" within one transfer call (about 20 ms)
 * or, during a ping, when the current sample ends. The request stays raised: every later ping, download or
 * upload fails at once until kestrum_init() or kestrum_run_all() lowers it. Any thread.
 */
KESTRUM_API void kestrum_cancel(void);

/*
 * Latency: `count` samples (limited to 1..1000), each a fresh TCP connection carrying one ping probe.
 * Returns the mean round-trip time in milliseconds (connection set-up included), -1.0 on failure.
 * host: a name or an address literal, not NULL or empty. port: the server's TCP port.
 */
KESTRUM_API double kestrum_ping(const char *host, int port, int count);

/* Download throughput over one connection for duration_ms (> 0). Returns Mbit/s, -1.0 on failure. */
KESTRUM_API double kestrum_download(const char *host, int port, int duration_ms);

/* Upload throughput over one connection for duration_ms (> 0). Returns Mbit/s, -1.0 on failure. */
KESTRUM_API double kestrum_upload(const char *host, int port, int duration_ms);

/*
 * Ten ping samples, then a download and an upload of duration_ms each, against one server. Lowers the
 * cancel flag and empties the last-error text first. Returns 0 when all three succeed, -1 otherwise; the
 * figures are in kestrum_result_json().
 */
KESTRUM_API int kestrum_run_all(const char *host, int port, int duration_ms);

/*
 * The results gathered for the current server as one line of compact JSON, e.g.
 * {"server":"10.0.0.2:5201","ping_ms":0.41,"jitter_ms":0.05,"download_mbps":941.0,"upload_mbps":0.0,
 *  "duration_ms":2000,"phase":"complete"}
 * "{}" before the first test. Never NULL.
 */
KESTRUM_API const char *kestrum_result_json(void);

/* The message of the last failure; empty when none was recorded since kestrum_init(). Never NULL. */
KESTRUM_API const char *kestrum_last_error(void);

#ifdef __cplusplus
}
#endif

#endif /* KESTRUM_H */
