// kestrum: measures the path to a speed-test server from the command line, as a host of the library's
// public interface. With no server named, it runs the bundled server in this process and measures that.
//
// The outline of a run; each part has a file of its own:
//   interrupts.cpp      what Ctrl-C does, and how the rest asks whether it came
//   bundled_server.cpp  the server started on loopback when none is named
//   server_choice.cpp   each server resolved once, the nearest of several, or each in turn (--each)
//   series.cpp          the runs, --repeat times, each printed and written to its files (run_files.cpp)
//   measure.cpp         one run: the library's measurement with the latency prober beside it
#include <kestrum.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bundled_server.h"
#include "exit_status.h"
#include "interrupts.h"
#include "options.h"
#include "run_files.h"
#include "series.h"
#include "server_choice.h"
#include "term.h"

namespace {

int run(const Options &o) {
  // The files are checked before anything is measured: a run must not be wasted on a path that cannot be
  // written.
  if (!run_files_open(o)) return kExitFailed;
  if (kestrum_init() != 0) {
    std::fprintf(stderr, "kestrum: %s\n", kestrum_last_error());
    return kExitFailed;
  }

  Server *server = nullptr;
  std::vector<ServerName> servers = o.servers;
  if (servers.empty()) {
    ServerName bundled;
    server = bundled_server_start(o, &bundled);
    if (server == nullptr) {
      kestrum_cleanup();
      return kExitFailed;
    }
    servers.push_back(bundled);
  }

  // Resolved once: the library and the prober get the address, so that no figure includes the resolver.
  // --each measures every server in turn, the others the one chosen among them.
  int status = kExitOk;
  const std::vector<Target> targets = choose_targets(o, servers, [&](const std::string &label) {
    // No server to measure is a failed run too, and a probe's graph should say so.
    write_metrics(o, label, false, RunReport());
    status = kExitFailed;
  });
  if (interrupted()) {
    status = kExitCancelled;
  } else if (!targets.empty()) {
    status = run_series(o, targets, status);
  }
  if (status == kExitCancelled) std::fputs("kestrum: Cancelled by user\n", stderr);

  // The measuring calls have returned, so no connection of ours is open; the server closes its own.
  if (server != nullptr) server_stop(server);
  kestrum_cleanup();
  return status;
}

}  // namespace

int main(int argc, char **argv) {
  Options options;
  std::string error;
  switch (parse_options(argc, argv, &options, &error)) {
    case ParseOutcome::help:
      std::fputs(usage_text().c_str(), stdout);
      return kExitOk;
    case ParseOutcome::version:
      std::printf("kestrum %s\n", KESTRUM_VERSION);
      return kExitOk;
    case ParseOutcome::usage_error:
      std::fprintf(stderr, "kestrum: %s\nTry 'kestrum --help' for more information.\n", error.c_str());
      return kExitUsage;
    case ParseOutcome::run:
      break;
  }
  // Before any thread starts, so that the library's and the server's threads inherit what it sets up.
  term_watch_interrupts(on_interrupt);
  const int status = run(options);
  term_unwatch_interrupts();
  return status;
}
