// The client of the control daemon's socket. PLACEHOLDER until the write path lands:
// it has no operations yet, and nothing is sent to the daemon.
#pragma once

class DaemonClient {};
