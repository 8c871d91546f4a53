// The bundled server: kestrum-server's core (server.h) run in this process on loopback, what the command
// measures when no server is named.
#pragma once

#include "options.h"
#include "server.h"

// Starts it quietly on a free port of the loopback address of o's family (::1 with an IPv6 family, else
// 127.0.0.1), its streams allowed to last as long as o's transfers need, says so on stderr and names it in
// *name for the server choice. nullptr, with the reason on stderr, when it cannot start. Stop it with
// server_stop once the measuring calls have returned.
Server *bundled_server_start(const Options &o, ServerName *name);
