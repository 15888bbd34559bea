// The program as it starts, for the start-up and idle benchmarks: main() is the real one, and so
// is the reading of the host's ports, whose cost belongs in the figures. What it finds is thrown
// away and two pseudo-terminals stand in as ports 1 and 2, so start-up probes and opens them the
// way it would real ports and no host port is ever opened (one of them may be the console). Not
// meant to be run by hand; see bench/startup.cpp and bench/idle.sh.
//   build-bench/bench/bench-startup-app
#include "program.h"
#include "ptydevice.h"

#include <cstdio>
#include <exception>
#include <memory>

int main(int argc, char *argv[])
{
    std::unique_ptr<PtyDevice> ports[2];
    try {
        for (auto &port : ports)
            port = std::make_unique<PtyDevice>();
    } catch (const std::exception &error) {
        std::fprintf(stderr, "bench-startup-app: %s\n", error.what());
        return 1;
    }
    const PortLister ptys = portsAt({ports[0]->path(), ports[1]->path()});
    return runProgram(argc, argv, [ptys] {
        Serial::readHostPorts();
        return ptys();
    });
}
