// kestrum-server's command line: its table of options, read into a ServerConfig, and the --help made
// from the same table.
#pragma once

#include <string>

#include "server.h"

struct CommandLine {
  ServerConfig config;
  std::string metrics_file;  // --metrics-file; empty: none
};

enum class CommandLineOutcome { run, help, version, usage_error };

// Reads argv into *out. On usage_error, *error holds the one-line message, without the program's name.
CommandLineOutcome read_command_line(int argc, const char *const *argv, CommandLine *out, std::string *error);

// What --help prints.
std::string server_usage_text();
