// What kestrum exits with, one value per way a run can end.
#pragma once

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitCancelled = 130;  // what shells report for a program ended by SIGINT
