// What the frame offers to the rest of the library: the state record, the phase change, the texts, the
// cancel flag and the registered callback. The statics themselves stay inside kestrum.cpp.
#pragma once

#include <atomic>

#include "kestrum.h"

// Prepares the record for a test against host:port. Clears it only when that server key differs from the
// stored one; otherwise keeps every result and stores duration_ms when it is not 0. Does not render.
void state_reset(const char *host, int port, int duration_ms);

// Renders the record into the result text ("{}" when writing fails or the text would not fit).
void build_result_json();

// Stores one of "idle", "ping", "download", "upload", "complete", "error" and renders the document.
void set_phase(const char *label);

// Result fields, written only on success.
void state_set_ping(double ping_ms, double jitter_ms);
void state_set_download(double mbps);
void state_set_upload(double mbps);

// Replaces the whole last-error text (cut at 255 characters).
void set_last_error(const char *text);
void clear_last_error();

// The cancel flag, loaded anew at every poll; the flag itself for the network kit's waits, which look at
// it while they wait.
bool cancel_requested();
void cancel_clear();
const std::atomic<bool> *cancel_flag();

// The registered progress callback, or null; read afresh before every report.
TickCallback tick_callback();

// Calls the registered callback, if any, on the calling thread.
void report_progress(const char *label, double rate_mbps, int percent);

// Labels
constexpr const char *kPhaseIdle = "idle";
constexpr const char *kPhasePing = "ping";
constexpr const char *kPhaseDownload = "download";
constexpr const char *kPhaseUpload = "upload";
constexpr const char *kPhaseComplete = "complete";
constexpr const char *kPhaseError = "error";

// Messages of the last-error text that carry no placeholder
constexpr const char *kErrInvalidHost = "Invalid host";
constexpr const char *kErrInvalidDuration = "Invalid duration";
constexpr const char *kErrCancelled = "Cancelled by user";
constexpr const char *kErrStartup = "WSAStartup failed";
constexpr const char *kErrDns = "DNS resolution failed";
constexpr const char *kErrSend = "Send failed";
constexpr const char *kErrRecv = "Recv failed";
constexpr const char *kErrPingTimeout = "Ping timeout";
constexpr const char *kErrPingSend = "Ping send failed";
