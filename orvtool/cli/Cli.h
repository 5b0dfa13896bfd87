// The entry of orvtool: argument checks and dispatch to the subcommands.
#pragma once

namespace orvtool {

// Runs the tool on the process arguments and returns the exit status, 0 or 1. The requests
// to the daemon (curve, floor, curves) open no SMC, metrics opens it itself; for every other
// command the SMC is opened before the subcommand is looked at. `serve` returns here when the
// daemon ends: 0 after `quit` or a stop signal, 1 when it failed to start or to accept.
int run(int argc, char* argv[]);

}  // namespace orvtool
