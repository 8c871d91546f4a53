// The sizes of a bulk transfer's system calls, on both ends: the library's measuring loop (tests.cpp) and
// kestrum-server's stream loop (server/stream.cpp). bench/limit.cpp moves bytes through the same calls
// with the same sizes, so that its figure is what these settings allow on a machine and kestrum's share of
// it shows what the rest of the loops cost. A change here changes all three together.
#pragma once

// The library's end.
constexpr int kUploadPayloadBytes = 65536;      // the generated upload payload
constexpr int kUploadSendCopies = 4;            // of the payload, back to back, offered to every upload send
constexpr int kDownloadReceiveBytes = 2 << 20;  // asked of every download receive
// Once a download flows, its receives wait for this much (or for their time limit): one wake-up of the
// measuring thread per megabyte instead of one per arriving segment or two. On a machine with few cores
// every wake-up of ours may take the core from the sender at the other end of a loopback connection, and
// a reader that waits for its core leaves its fixed 1 MiB buffer full: the server's sends then wait for
// the window (44% of a loopback download's time with 64 KiB receives, 10% with these). Linux caps it at
// half the receive buffer.
constexpr int kDownloadBatchBytes = 1 << 20;

// The server's end.
// One download send hands the kernel this much: on loopback the stream is then limited by the client's
// receive loop, not by our syscall rate.
constexpr int kServerSendBytes = 1 << 20;
// One upload receive takes at most this much. Linux discards in the kernel and never touches the
// buffer, whose pages then never become resident; elsewhere it is a real buffer.
constexpr int kServerReceiveBytes = 2 << 20;
// Once an upload flows, its receives wait for this much (or for the slice to end): on loopback one
// wake-up per megabyte instead of one per arriving segment. Each wake-up lands on the sending client's
// core and takes it from the client for a moment; at a quarter megabyte the client lost its core about
// 14,000 times a second and sent 27 Gbit/s, at a megabyte 66 Gbit/s on the same machine. Not from the
// start, so that the first byte's time is its arrival.
constexpr int kServerBatchBytes = 1 << 20;
