// The sizes of a bulk transfer's system calls, on both ends: the library's measuring loop (tests.cpp) and
// kestrum-server's stream loop (server/stream.cpp). bench/limit.cpp moves bytes through the same calls
// with the same sizes, so that its figure is what these settings allow on a machine and kestrum's share of
// it shows what the rest of the loops cost. A change here changes all three together.
#pragma once

// The library's end: every upload send offers the whole 64 KiB payload, every download receive asks
// for 64 KiB into the call's own area. These are the measuring loop's own terms and stay as they are.
constexpr int kUploadPayloadBytes = 65536;    // the generated upload payload, offered whole to every send
constexpr int kDownloadReceiveBytes = 65536;  // asked of every download receive

// The server's end.
// One download send hands the kernel this much: on loopback the stream is then limited by the client's
// receive loop, not by our syscall rate.
constexpr int kServerSendBytes = 1 << 20;
// One upload receive takes at most this much. Linux discards in the kernel and never touches the
// buffer, whose pages then never become resident; elsewhere it is a real buffer.
constexpr int kServerReceiveBytes = 1 << 20;
// Once an upload flows, its receives wait for this much (or for the slice to end): on loopback that is
// one wake-up per quarter megabyte instead of one per arriving segment, and a third of the server's CPU
// per gigabyte. Not from the start, so that the first byte's time is its arrival. A megabyte, tried
// against the library's 64 KiB sends, made loopback uploads slower (bench/README.md).
constexpr int kServerBatchBytes = 256 * 1024;
