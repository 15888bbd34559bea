// First-byte benchmark: how long rq204-send takes from its start (fork and exec) to its first
// byte at the far end of a pseudo-terminal, against the smallest QtCore program that writes a
// byte one interval after it starts (the floor: the interval itself and what starting any Qt
// program costs). The two alternate so that drift on the machine hits both alike.
//
//   build-bench/bench/bench-send-start [RUNS]     RUNS of each after 2 warm-up runs (default 15)
//
// Prints the median, minimum and maximum of each and their ratios; the target is rq204-send's
// first byte no later than 110 ms after its start. Its port is a pseudo-terminal named on the
// command line, so no host port is ever looked at. Exits non-zero only when a run failed.
#include "ptydevice.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using Clock = std::chrono::steady_clock;

namespace {

// Starts `argv`, and returns the ms from fork() to the first byte at `device`'s far end.
std::optional<double> firstByte(PtyDevice &device, std::vector<std::string> argv)
{
    std::vector<char *> args;
    for (std::string &arg : argv)
        args.push_back(arg.data());
    args.push_back(nullptr);
    const auto start = Clock::now();
    const pid_t pid = ::fork();
    if (pid < 0)
        return std::nullopt;
    if (pid == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, STDOUT_FILENO);
        ::dup2(null, STDERR_FILENO);
        ::execv(args.front(), args.data());
        ::_exit(127);
    }
    pollfd pfd{device.masterFd(), POLLIN, 0};
    std::optional<double> ms;
    if (::poll(&pfd, 1, 5000) == 1)
        ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    // Whatever else it sends (rq204-send: the CR and the last interval) is not timed.
    int status = 0;
    ::waitpid(pid, &status, 0);
    device.take();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return std::nullopt;
    return ms;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

} // namespace

int main(int argc, char *argv[])
{
    const int runs = argc > 1 ? std::atoi(argv[1]) : 15;
    if (runs < 1) {
        std::fprintf(stderr, "usage: %s [RUNS]\n", argv[0]);
        return 2;
    }
    std::vector<double> ms[2];
    const char *names[2] = {"rq204-send", "floor"};
    for (int i = -2; i < runs; ++i) {
        for (int which = 0; which < 2; ++which) {
            std::optional<double> sample;
            try {
                PtyDevice device;
                const std::string path = device.path().toStdString();
                sample = which == 0
                             ? firstByte(device, {RQ204_SEND_PATH, "--quiet", "--port", path, "A"})
                             : firstByte(device, {SEND_FLOOR_PATH, path});
            } catch (const std::exception &error) {
                std::fprintf(stderr, "bench-send-start: %s\n", error.what());
                return 1;
            }
            if (!sample) {
                std::fprintf(stderr, "bench-send-start: %s sent nothing or failed\n", names[which]);
                return 1;
            }
            if (i >= 0)
                ms[which].push_back(*sample);
        }
    }
    std::printf("%d runs each, after 2 warm-up runs; ms from fork() to the first byte at the "
                "far end, median / min / max\n",
                runs);
    for (int which = 0; which < 2; ++which)
        std::printf("  %-11s %7.1f / %7.1f / %7.1f ms\n", names[which], median(ms[which]),
                    *std::min_element(ms[which].begin(), ms[which].end()),
                    *std::max_element(ms[which].begin(), ms[which].end()));
    std::printf("  %-11s %7.2f / %7.2f / %7.2f\n", "ratio", median(ms[0]) / median(ms[1]),
                *std::min_element(ms[0].begin(), ms[0].end()) /
                    *std::min_element(ms[1].begin(), ms[1].end()),
                *std::max_element(ms[0].begin(), ms[0].end()) /
                    *std::max_element(ms[1].begin(), ms[1].end()));
    std::printf("target: rq204-send's first byte no later than 110 ms after its start: %s\n",
                median(ms[0]) <= 110.0 ? "met (median)" : "NOT met (median)");
    return 0;
}
