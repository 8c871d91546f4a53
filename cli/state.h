// The record of the runs: per server, what the metrics file shows, kept in memory for one process or in a
// state file (--state-file) across processes, so that runs started one by one by a timer count and keep
// their figures exactly as the runs of one long process do.
//
// With a state file every run re-reads it under its lock (file_lock.h), counts itself in, writes it whole
// (file_replace) and then the metrics file, so two runs at once take turns and neither loses the other's
// update. A missing state starts fresh; one that cannot be used (not a kestrum state, another version's,
// damaged, a link, too large) is set aside as "STATE.corrupt" with a warning, and counting starts fresh.
#pragma once

#include <string>
#include <vector>

#include "metrics.h"

// Bounds of the state: its size as read and written, and the servers it remembers. When a write would pass
// either, the servers measured longest ago are forgotten first.
constexpr size_t kMaxStateBytes = 1 << 20;
constexpr size_t kMaxStateServers = 64;
// How long a run waits for another to finish its update (a read and two small writes).
constexpr int kStateLockWaitMs = 10000;

// The state file's text: JSON, {"kestrum_state":1,"servers":[{"server":...,"runs_ok":...,"figures":{...}}]}.
std::string state_text(const std::vector<ServerRecord> &records);

// Reads a state text; false with *why when it is not a state this version can use.
bool state_parse(const std::string &text, std::vector<ServerRecord> *records, std::string *why);

struct Recorder {
  std::string metrics_file;
  std::string state_file;             // empty: the record lives in this process only
  std::vector<ServerRecord> records;  // the servers of this process, as last recorded
};

// Checks that both files can be written (file_replace_check), before anything is measured, and keeps their
// paths. false with *error when one cannot.
bool recorder_open(Recorder *r, const std::string &metrics_file, const std::string &state_file,
                   std::string *error);

// Counts a run of server ended at now (Unix time) and rewrites the state and the metrics file, which lists
// the servers this process has recorded. *warning says when a state was set aside (empty otherwise). false
// with *error when the state or the metrics file could not be written; the metrics file is still written
// when only the state failed.
bool recorder_run(Recorder *r, const std::string &server, bool ok, double now, const RunFigures &figures,
                  std::string *warning, std::string *error);
