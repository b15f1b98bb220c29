// velloran-measure: runs one command under /usr/bin/time -v and reports how
// long it took, its peak resident memory and its CPU time, on one line:
//
//   wall=SECONDS rss_kb=KB user=SECONDS sys=SECONDS [map=SECONDS paint=SECONDS] outcome=WORD
//
//   velloran-measure [--cwd DIR] [--timeout SECONDS] MODE -- COMMAND [ARGS...]
//
// Modes say when the run counts as over:
//   --until-exit            the command exits (status 0 is "ok", else "failed")
//   --until-deleted PATH    PATH is deleted (inotify on its folder); the command,
//                           which would wait for a click from then on, is killed
//   --until-painted X,Y,RRGGBB
//                           the command's first top-level window is mapped on
//                           $DISPLAY and the pixel X,Y inside it has the colour
//                           RRGGBB; the command is then killed
//
// The clock starts right before the fork and stops when the condition is seen,
// so the wall time includes starting /usr/bin/time, exactly as for every other
// command measured the same way. Peak memory and CPU time are the figures
// /usr/bin/time -v reports for the command (from wait4, so they cover the
// whole process, killed or not); memory is also read from VmHWM at the moment
// the condition is met, as a cross-check. A timeout prints outcome=timeout and
// exits 1.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void die(const std::string& why) {
    std::fprintf(stderr, "velloran-measure: %s\n", why.c_str());
    std::exit(2);
}

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

struct Options {
    enum class Mode { Exit, Deleted, Painted } mode = Mode::Exit;
    std::string cwd;
    double timeout = 120;
    std::string deletedFolder, deletedName;
    int pixelX = 0, pixelY = 0;
    unsigned long colour = 0;
    std::vector<std::string> command;
};

Options parse(int argc, char** argv) {
    Options o;
    int i = 1;
    for (; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc) die("missing value after " + a);
            return argv[++i];
        };
        if (a == "--") {
            ++i;
            break;
        } else if (a == "--cwd") {
            o.cwd = next();
        } else if (a == "--timeout") {
            o.timeout = std::atof(next().c_str());
        } else if (a == "--until-exit") {
            o.mode = Options::Mode::Exit;
        } else if (a == "--until-deleted") {
            const std::string path = next();
            const auto slash = path.rfind('/');
            if (slash == std::string::npos) die("--until-deleted needs a path with a folder");
            o.mode = Options::Mode::Deleted;
            o.deletedFolder = path.substr(0, slash);
            o.deletedName = path.substr(slash + 1);
        } else if (a == "--until-painted") {
            o.mode = Options::Mode::Painted;
            char rgb[7] = {};
            if (std::sscanf(next().c_str(), "%d,%d,%6s", &o.pixelX, &o.pixelY, rgb) != 3)
                die("--until-painted wants X,Y,RRGGBB");
            o.colour = std::strtoul(rgb, nullptr, 16);
        } else {
            die("unknown option " + a);
        }
    }
    for (; i < argc; ++i) o.command.emplace_back(argv[i]);
    if (o.command.empty()) die("no command");
    return o;
}

int pidfdOpen(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }

// The command itself: the one child of /usr/bin/time.
std::optional<pid_t> childOf(pid_t parent) {
    std::ifstream in("/proc/" + std::to_string(parent) + "/task/" + std::to_string(parent) + "/children");
    pid_t child = 0;
    if (in >> child) return child;
    return std::nullopt;
}

long vmHwmKb(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

struct TimeReport {
    long rssKb = -1;
    double user = -1, sys = -1;
    int exitStatus = -1;
    bool signalled = false;
};

TimeReport readTimeReport(const std::string& path) {
    TimeReport r;
    std::ifstream in(path);
    std::string line;
    auto after = [](const std::string& l, const char* label) -> const char* {
        const auto at = l.find(label);
        return at == std::string::npos ? nullptr : l.c_str() + at + std::strlen(label);
    };
    while (std::getline(in, line)) {
        if (const char* v = after(line, "Maximum resident set size (kbytes): ")) r.rssKb = std::atol(v);
        if (const char* v = after(line, "User time (seconds): ")) r.user = std::atof(v);
        if (const char* v = after(line, "System time (seconds): ")) r.sys = std::atof(v);
        if (const char* v = after(line, "Exit status: ")) r.exitStatus = std::atoi(v);
        if (line.find("Command terminated by signal") != std::string::npos) r.signalled = true;
    }
    return r;
}

// Watches the X server for the first top-level window being mapped, then
// samples one pixel of it until it has the wanted colour.
class PaintWatch {
public:
    explicit PaintWatch(const Options& o) : o_(o) {
        display_ = XOpenDisplay(nullptr);
        if (!display_) die("cannot open the X display");
        root_ = DefaultRootWindow(display_);
        XSelectInput(display_, root_, SubstructureNotifyMask);
        XSync(display_, False);
    }
    ~PaintWatch() { XCloseDisplay(display_); }
    int fd() const { return ConnectionNumber(display_); }

    // Handles what the server sent; true once the pixel is painted.
    bool step(Clock::time_point now) {
        while (XPending(display_)) {
            XEvent e;
            XNextEvent(display_, &e);
            if (e.type == MapNotify && e.xmap.event == root_ && !e.xmap.override_redirect && !window_) {
                window_ = e.xmap.window;
                mapped_ = now;
            }
        }
        if (!window_) return false;
        XWindowAttributes attributes;
        if (!XGetWindowAttributes(display_, window_, &attributes) || attributes.map_state != IsViewable)
            return false;
        if (o_.pixelX >= attributes.width || o_.pixelY >= attributes.height) return false;
        XImage* image = XGetImage(display_, window_, o_.pixelX, o_.pixelY, 1, 1, AllPlanes, ZPixmap);
        if (!image) return false;
        const unsigned long pixel = XGetPixel(image, 0, 0);
        XDestroyImage(image);
        return (pixel & 0xFFFFFF) == o_.colour;
    }
    bool mapped() const { return window_ != 0; }
    Clock::time_point mappedAt() const { return mapped_; }

private:
    const Options& o_;
    Display* display_ = nullptr;
    Window root_ = 0;
    Window window_ = 0;
    Clock::time_point mapped_;
};

}  // namespace

int main(int argc, char** argv) {
    const Options o = parse(argc, argv);

    char statsPath[] = "/tmp/velloran-measure.XXXXXX";
    const int statsFd = ::mkstemp(statsPath);
    if (statsFd < 0) die("cannot make a temporary file");
    ::close(statsFd);

    int watchFd = -1;
    if (o.mode == Options::Mode::Deleted) {
        watchFd = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        if (watchFd < 0 || ::inotify_add_watch(watchFd, o.deletedFolder.c_str(), IN_DELETE) < 0)
            die("cannot watch " + o.deletedFolder);
    }
    std::optional<PaintWatch> paint;
    if (o.mode == Options::Mode::Painted) paint.emplace(o);

    std::vector<std::string> args = {"/usr/bin/time", "-v", "-o", statsPath, "--"};
    args.insert(args.end(), o.command.begin(), o.command.end());
    std::vector<char*> argvChild;
    for (auto& a : args) argvChild.push_back(a.data());
    argvChild.push_back(nullptr);

    const Clock::time_point start = Clock::now();
    const pid_t timePid = ::fork();
    if (timePid < 0) die("fork failed");
    if (timePid == 0) {
        if (!o.cwd.empty() && ::chdir(o.cwd.c_str()) != 0) _exit(127);
        ::execv(argvChild[0], argvChild.data());
        _exit(127);
    }
    const int exitFd = pidfdOpen(timePid);
    if (exitFd < 0) die("pidfd_open failed");

    const auto deadline = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o.timeout));
    std::string outcome;
    Clock::time_point end;
    long hwm = -1;
    for (;;) {
        std::vector<pollfd> fds{{exitFd, POLLIN, 0}};
        if (watchFd >= 0) fds.push_back({watchFd, POLLIN, 0});
        if (paint) fds.push_back({paint->fd(), POLLIN, 0});
        // While a window is mapped but not yet painted, sample every 0.5 ms.
        int waitMs = 100;
        if (paint && paint->mapped()) waitMs = 0;
        const int ready = ::poll(fds.data(), fds.size(), waitMs);
        const Clock::time_point now = Clock::now();
        if (ready < 0 && errno != EINTR) die("poll failed");

        bool met = false;
        if (watchFd >= 0) {
            alignas(inotify_event) char buffer[4096];
            ssize_t n;
            while ((n = ::read(watchFd, buffer, sizeof buffer)) > 0) {
                for (char* p = buffer; p < buffer + n;) {
                    auto* e = reinterpret_cast<inotify_event*>(p);
                    if (e->len > 0 && o.deletedName == e->name) met = true;
                    p += sizeof(inotify_event) + e->len;
                }
            }
        }
        if (paint && paint->step(now)) met = true;
        if (met) {
            end = now;
            outcome = "ok";
            if (auto child = childOf(timePid)) {
                hwm = vmHwmKb(*child);
                ::kill(*child, SIGKILL);
            }
            break;
        }
        if (fds[0].revents & POLLIN) {
            end = now;
            outcome = "exited";
            break;
        }
        if (now > deadline) {
            end = now;
            outcome = "timeout";
            if (auto child = childOf(timePid)) ::kill(*child, SIGKILL);
            break;
        }
        if (paint && paint->mapped()) ::usleep(500);
    }

    int status = 0;
    ::waitpid(timePid, &status, 0);
    const TimeReport report = readTimeReport(statsPath);
    ::unlink(statsPath);
    if (outcome == "exited") outcome = o.mode == Options::Mode::Exit && report.exitStatus == 0 ? "ok" : "failed";

    std::printf("wall=%.6f rss_kb=%ld hwm_kb=%ld user=%.2f sys=%.2f", seconds(end - start), report.rssKb, hwm,
                report.user, report.sys);
    if (paint && paint->mapped())
        std::printf(" map=%.6f paint=%.6f", seconds(paint->mappedAt() - start), seconds(end - start));
    std::printf(" outcome=%s\n", outcome.c_str());
    return outcome == "ok" ? 0 : 1;
}
