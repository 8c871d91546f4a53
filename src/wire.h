// The wire protocol spoken between the library and kestrum-server: one header for both ends, so that the
// two cannot drift apart. Constants only; no code and no platform.
#pragma once

// Every connection starts with one command byte from the client.
constexpr char kCmdPing = 'P';      // then 8 bytes of client clock; the server answers with the same 8
constexpr char kCmdDownload = 'D';  // the server streams until the client closes
constexpr char kCmdUpload = 'U';    // the client streams until it closes
constexpr int kPingProbeSize = 9;   // the command byte and the 8 bytes to echo
constexpr int kPingReplySize = 8;
