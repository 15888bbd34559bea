// The program as it starts, for the start-up and idle benchmarks: main() is the real one, except
// that ports 1 and 2 are two pseudo-terminals opened here, so start-up probes and opens them the
// way it would real ports and no host port is ever touched. Not meant to be run by hand; see
// bench/startup.cpp and bench/idle.sh.
//   build-bench/bench/bench-startup-app
#include "program.h"
#include "ptyports.h"

int main(int argc, char *argv[])
{
    const PtyPorts ports(2);
    if (!ports.ok(2))
        return 1;
    return runProgram(argc, argv, ports.lister());
}
