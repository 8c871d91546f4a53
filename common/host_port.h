// How a server's address is written next to its port, the one way everywhere the programs print or read
// one: an IPv6 address goes in brackets ("[::1]:9301"), a name or an IPv4 address does not.
#pragma once

#include <string>

// "HOST:PORT", with brackets around a host that holds a colon (an IPv6 address). A host already in
// brackets is written as it is.
inline std::string host_port_text(const std::string &host, int port) {
  const bool bracketed = host.size() >= 2 && host.front() == '[' && host.back() == ']';
  const bool v6 = !bracketed && host.find(':') != std::string::npos;
  return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

// The host without the brackets that set an IPv6 address apart from its port ("[::1]" to "::1"); the
// resolver does not take them. Any other text, "[]" included, comes back unchanged.
inline std::string without_brackets(const std::string &host) {
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') return host.substr(1, host.size() - 2);
  return host;
}
