// Start-up benchmark: how long the program takes from fork() to its window being mapped, the CPU
// it spends by then, and how much memory it holds a second later, against the smallest Qt
// Widgets program that shows a window (a QLabel). The program is the real one: it reads the
// host's ports as it would, then opens two pseudo-terminals as ports 1 and 2 (never a host
// port). Runs on an Xvfb of its own, so no window manager and no desktop session take part, and
// the two programs alternate so that drift on the machine hits both alike.
//
//   build-bench/bench/bench-startup [RUNS]     RUNS of each after 2 warm-up runs (default 15)
//
// Needs Xvfb (tools/install-deps.sh --bench). Prints the median, minimum and maximum of each
// figure: time to map and CPU to map; resident memory (VmRSS) and the anonymous part of the
// proportional set size (Pss_Anon: the heap and the like, with the shared libraries' pages left
// out) a second after mapping; and the ratios program/label. Exits non-zero only when a
// measurement could not be made.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>
#include <xcb/xcb.h>

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

struct Sample
{
    double mapMs = 0;      // fork() to the window's MapNotify
    double cpuMs = 0;      // CPU time of all its threads by then
    double rssMiB = 0;     // VmRSS a second later
    double anonPssMiB = 0; // Pss_Anon then
};

std::string directoryOfThisProgram()
{
    char path[4096] = {};
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return ".";
    std::string text(path, size_t(n));
    return text.substr(0, text.rfind('/'));
}

// Starts Xvfb on the first free display and returns its pid and number; -displayfd lets the
// server pick the number itself, so there is no race with another server starting.
std::optional<std::pair<pid_t, std::string>> startXvfb()
{
    int fds[2];
    if (::pipe(fds) != 0)
        return std::nullopt;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        const std::string fd = std::to_string(fds[1]);
        // Its complaints about missing keymaps and fonts say nothing about the programs measured.
        std::freopen("/dev/null", "w", stderr);
        ::execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-nolisten", "tcp", "-screen", "0",
                 "1280x1024x24", static_cast<char *>(nullptr));
        ::_exit(127);
    }
    ::close(fds[1]);
    std::string number;
    pollfd pfd{fds[0], POLLIN, 0};
    char c = 0;
    while (::poll(&pfd, 1, 10000) > 0 && ::read(fds[0], &c, 1) == 1 && c != '\n')
        number += c;
    ::close(fds[0]);
    if (pid < 0 || number.empty()) {
        if (pid > 0) {
            ::kill(pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
        }
        return std::nullopt;
    }
    return std::pair(pid, ":" + number);
}

// A "Name:   1234 kB" line of a /proc file, in MiB; -1 where there is none.
double procMiB(pid_t pid, const char *file, const std::string &name)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/" + file);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(name + ':', 0) == 0)
            return std::strtod(line.c_str() + name.size() + 1, nullptr) / 1024.0;
    }
    return -1;
}

// CPU time in ns is the first field of each thread's schedstat; unlike the wall-clock time it
// hardly changes with what else the machine is doing.
double cpuMs(pid_t pid)
{
    double ns = 0;
    std::error_code error;
    for (const auto &task :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
        std::ifstream schedstat(task.path() / "schedstat");
        double taskNs = 0;
        if (schedstat >> taskNs)
            ns += taskNs;
    }
    return ns / 1e6;
}

// Asks the window to close as a window manager would, so that the program ends the way a user
// ends it: a killed one would leave its port's lock file behind for the next run to clear.
void closeWindow(xcb_connection_t *x, xcb_window_t window)
{
    const auto atom = [x](const char *name) {
        xcb_intern_atom_reply_t *reply = xcb_intern_atom_reply(
            x, xcb_intern_atom(x, 0, uint16_t(std::strlen(name)), name), nullptr);
        const xcb_atom_t result = reply ? reply->atom : XCB_NONE;
        std::free(reply);
        return result;
    };
    xcb_client_message_event_t message{};
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = window;
    message.type = atom("WM_PROTOCOLS");
    message.data.data32[0] = atom("WM_DELETE_WINDOW");
    message.data.data32[1] = XCB_CURRENT_TIME;
    xcb_send_event(x, 0, window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char *>(&message));
    xcb_flush(x);
}

void drainEvents(xcb_connection_t *x)
{
    while (xcb_generic_event_t *event = xcb_poll_for_event(x))
        std::free(event);
}

// Looks without reaping, so the caller's kill() and waitpid() still find the same process.
bool hasDied(pid_t child)
{
    siginfo_t info{};
    return ::waitid(P_PID, id_t(child), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == child;
}

// Waits for the first event `wanted` accepts, and returns when it was read; nothing when the
// deadline passes, the server goes away or `child` dies first.
template <typename Wanted>
std::optional<Clock::time_point> waitFor(xcb_connection_t *x, pid_t child, Wanted wanted,
                                         Clock::duration timeout)
{
    const auto deadline = Clock::now() + timeout;
    pollfd pfd{xcb_get_file_descriptor(x), POLLIN, 0};
    while (Clock::now() < deadline) {
        while (xcb_generic_event_t *event = xcb_poll_for_event(x)) {
            const auto now = Clock::now();
            const bool found = wanted(event);
            std::free(event);
            if (found)
                return now;
        }
        if (xcb_connection_has_error(x) || (child > 0 && hasDied(child)))
            return std::nullopt;
        ::poll(&pfd, 1, 50);
    }
    return std::nullopt;
}

std::optional<Sample> runOnce(xcb_connection_t *x, xcb_window_t root, const std::string &display,
                              const std::string &program)
{
    drainEvents(x);
    const auto start = Clock::now();
    const pid_t pid = ::fork();
    if (pid < 0)
        return std::nullopt;
    if (pid == 0) {
        ::setenv("DISPLAY", display.c_str(), 1);
        ::unsetenv("QT_QPA_PLATFORM");
        ::execl(program.c_str(), program.c_str(), static_cast<char *>(nullptr));
        ::_exit(127);
    }
    // A top-level window: a child of the root that is not a menu or a tooltip.
    xcb_window_t window = XCB_NONE;
    const auto mapped = waitFor(
        x, pid,
        [&](xcb_generic_event_t *event) {
            const auto *map = reinterpret_cast<xcb_map_notify_event_t *>(event);
            if ((event->response_type & 0x7f) != XCB_MAP_NOTIFY || map->event != root ||
                map->override_redirect)
                return false;
            window = map->window;
            return true;
        },
        20s);
    std::optional<Sample> sample;
    if (mapped) {
        const double cpu = cpuMs(pid);
        std::this_thread::sleep_for(1s);
        const double rss = procMiB(pid, "status", "VmRSS");
        const double anonPss = procMiB(pid, "smaps_rollup", "Pss_Anon");
        if (rss > 0 && anonPss > 0)
            sample = Sample{std::chrono::duration<double, std::milli>(*mapped - start).count(), cpu,
                            rss, anonPss};
        closeWindow(x, window);
        for (int i = 0; i < 500 && !hasDied(pid); ++i)
            std::this_thread::sleep_for(10ms);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    // The server is done with the dead client once its window is gone; only then may the next
    // one start, or it would share the server with the clean-up.
    if (window != XCB_NONE) {
        waitFor(
            x, 0,
            [&](xcb_generic_event_t *event) {
                const auto *destroy = reinterpret_cast<xcb_destroy_notify_event_t *>(event);
                return (event->response_type & 0x7f) == XCB_DESTROY_NOTIFY &&
                       destroy->window == window;
            },
            5s);
    }
    return sample;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double minimum(const std::vector<double> &values)
{
    return *std::min_element(values.begin(), values.end());
}

double maximum(const std::vector<double> &values)
{
    return *std::max_element(values.begin(), values.end());
}

std::string loadAverage()
{
    std::ifstream in("/proc/loadavg");
    double one = 0, five = 0;
    in >> one >> five;
    char text[64];
    std::snprintf(text, sizeof text, "%.2f (1 min), %.2f (5 min)", one, five);
    return text;
}

// Runs the two programs alternately and prints the figures; false when a run failed.
bool measure(xcb_connection_t *x, const std::string &display, const std::string (&programs)[2],
             int runs)
{
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(x)).data->root;
    const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(x, root, XCB_CW_EVENT_MASK, &mask);
    xcb_flush(x);

    std::printf("load average before: %s\n", loadAverage().c_str());
    std::vector<double> ms[2], cpu[2], rss[2], anon[2];
    for (int i = -2; i < runs; ++i) {
        for (int which = 0; which < 2; ++which) {
            const auto sample = runOnce(x, root, display, programs[which]);
            if (!sample) {
                std::fprintf(stderr, "%s: no window within 20 s, or it died\n",
                             programs[which].c_str());
                return false;
            }
            if (i >= 0) {
                ms[which].push_back(sample->mapMs);
                cpu[which].push_back(sample->cpuMs);
                rss[which].push_back(sample->rssMiB);
                anon[which].push_back(sample->anonPssMiB);
            }
        }
    }
    std::printf("load average after:  %s\n", loadAverage().c_str());
    std::printf("%d runs each on Xvfb %s, after 2 warm-up runs; median / min / max\n", runs,
                display.c_str());
    const char *names[2] = {"program", "label"};
    const auto print = [&](const char *what, const char *unit,
                           const std::vector<double>(&values)[2]) {
        for (int which = 0; which < 2; ++which)
            std::printf("  %-22s %-8s %7.1f / %7.1f / %7.1f %s\n", which ? "" : what, names[which],
                        median(values[which]), minimum(values[which]), maximum(values[which]),
                        unit);
        std::printf("  %-22s %-8s %7.2f / %7.2f / %7.2f\n", "", "ratio",
                    median(values[0]) / median(values[1]), minimum(values[0]) / minimum(values[1]),
                    maximum(values[0]) / maximum(values[1]));
    };
    print("fork to window mapped", "ms", ms);
    print("CPU until mapped", "ms", cpu);
    print("VmRSS 1 s later", "MiB", rss);
    print("Pss_Anon 1 s later", "MiB", anon);
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    const int runs = argc > 1 ? std::atoi(argv[1]) : 15;
    if (runs < 1) {
        std::fprintf(stderr, "usage: %s [RUNS]\n", argv[0]);
        return 2;
    }
    const std::string here = directoryOfThisProgram();
    const std::string programs[2] = {here + "/bench-startup-app", here + "/bench-startup-label"};
    for (const std::string &program : programs) {
        if (::access(program.c_str(), X_OK) != 0) {
            std::fprintf(stderr, "%s: %s\n", program.c_str(), std::strerror(errno));
            return 1;
        }
    }
    const auto server = startXvfb();
    if (!server) {
        std::fprintf(stderr, "could not start Xvfb (tools/install-deps.sh --bench)\n");
        return 1;
    }
    const auto [xvfb, display] = *server;

    // A desktop session always has one; without it Qt warns on every start and falls back.
    char runtime[] = "/tmp/bench-startup-XXXXXX";
    const bool ownRuntime = !std::getenv("XDG_RUNTIME_DIR") && ::mkdtemp(runtime);
    if (ownRuntime)
        ::setenv("XDG_RUNTIME_DIR", runtime, 1);

    bool measured = false;
    xcb_connection_t *x = xcb_connect(display.c_str(), nullptr);
    if (xcb_connection_has_error(x))
        std::fprintf(stderr, "could not connect to Xvfb on %s\n", display.c_str());
    else
        measured = measure(x, display, programs, runs);
    xcb_disconnect(x);
    ::kill(xvfb, SIGTERM);
    ::waitpid(xvfb, nullptr, 0);
    if (ownRuntime)
        ::rmdir(runtime);
    return measured ? 0 : 1;
}
