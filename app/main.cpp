// Program entry: the desktop window when a display is available, otherwise (or with
// --headless) the server with the console on standard input.

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <sys/resource.h>
#include <unistd.h>

#include "app/console.h"
#include "config_image/message_catalog.h"
#include "core/main_thread.h"
#include "kormlink_version.h"
#include "platform/console_output.h"
#include "platform/folder_lock.h"
#include "platform/limits.h"
#include "platform/service_notify.h"
#include "platform/signals.h"
#include "server/server.h"

#ifdef KORMLINK_WITH_UI
#include "ui/qt_main_loop.h"
#endif

namespace {

using namespace kormlink;

// A second server started on a data folder in use ends with this status, so that scripts and
// service managers can tell it from a failure (see --wait-lock).
constexpr int kExitFolderInUse = 75;
constexpr long kMaxWaitLockSeconds = 7 * 24 * 3600;

void printUsage(std::FILE* to) {
    std::fprintf(
        to,
        "usage: kormlink [--headless] [--data DIR] [--wait-lock SECONDS] [--version]\n"
        "  Runs the relay server in its data folder (Kormlink.ini, logs, queue files): the\n"
        "  current folder, or DIR.\n"
        "  --headless           no window; commands on standard input (cmd, trace, list, quit)\n"
        "  --data DIR           run in DIR; every relative path of the program is relative to it\n"
        "  --wait-lock SECONDS  when another server uses the data folder, wait up to SECONDS\n"
        "                       for it to end instead of exiting at once (status %d)\n"
        "  --version            print the version and exit\n",
        kExitFolderInUse);
}

// The value of an option given as "--name VALUE" or "--name=VALUE"; nullptr when it is not
// this option. *missing is set when the value is absent.
const char* optionValue(int argc, char** argv, int& i, const char* name, bool* missing) {
    const std::size_t n = std::strlen(name);
    if (std::strncmp(argv[i], name, n) != 0) return nullptr;
    if (argv[i][n] == '=') return argv[i] + n + 1;
    if (argv[i][n] != '\0') return nullptr;
    if (i + 1 < argc) return argv[++i];
    *missing = true;
    return "";
}

void sayWaiting(const std::string& holder) {
    std::fprintf(stderr, "Kormlink: the data folder is in use by %s; waiting for it\n",
                 holder.c_str());
}

bool hasDisplay() {
    const char* x = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    return (x && *x) || (wayland && *wayland);
}

int runHeadless(ConsoleOutput& output) {
    LoadMessages(".");
    MainThread mainThread;
    ConsoleView view(output);
    Server server(mainThread, view);
    Console console(server, output);
    bool quit = false;

    StopSignalWatcher signals([&] { mainThread.post([&] { quit = true; }); });
    server.LoadConfiguration();
    // Listening, and the queues read back: the service manager may count on the server now.
    ServiceNotifier notifier;
    if (notifier.enabled()) notifier.ready(server.statusSummary(), steadyClock().now());
    {
        LineReaderThread console_input(0, mainThread, [&](const std::string& line) {
            if (console.execute(line) == Console::Result::Quit) quit = true;
        });
        bool requests = false;
        while (!quit) {
            const Millis wait = std::min<Millis>(requests ? 50 : 1000,
                                                 notifier.msUntilDue(steadyClock().now()));
            mainThread.waitForWork(wait);
            mainThread.runPending();
            requests = console.tick();
            server.RefreshAll = false;  // no lists to redraw without a window
            server.QueueChanged = false;
            // Fed only here, after the hand-overs ran: a main thread stuck in one stops it.
            if (notifier.enabled()) notifier.tick(server.statusSummary(), steadyClock().now());
        }
    }
    notifier.stopping();
    server.StopServer();
    mainThread.runPending();
    const JournalSync& journal = server.journalSync();
    consolePrintf(ConsoleStream::Err, "Kormlink: queue journals: %llu writes, %llu syncs",
                  static_cast<unsigned long long>(journal.writeCount()),
                  static_cast<unsigned long long>(journal.syncCount()));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    bool headless = false, explicitHeadless = false;
    const char* dataDir = nullptr;
    long waitLockSeconds = 0;
    for (int i = 1; i < argc; ++i) {
        bool missing = false;
        if (std::strcmp(argv[i], "--headless") == 0) {
            headless = explicitHeadless = true;
        } else if (const char* dir = optionValue(argc, argv, i, "--data", &missing)) {
            if (missing) {
                std::fprintf(stderr, "kormlink: --data needs a folder\n");
                printUsage(stderr);
                return 2;
            }
            dataDir = dir;
        } else if (const char* wait = optionValue(argc, argv, i, "--wait-lock", &missing)) {
            char* end = nullptr;
            errno = 0;
            waitLockSeconds = missing ? -1 : std::strtol(wait, &end, 10);
            if (missing || errno != 0 || end == wait || *end != '\0' || waitLockSeconds < 0 ||
                waitLockSeconds > kMaxWaitLockSeconds) {
                std::fprintf(stderr, "kormlink: --wait-lock needs a number of seconds (0 to %ld)\n",
                             kMaxWaitLockSeconds);
                printUsage(stderr);
                return 2;
            }
        } else if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("%s\n", KORMLINK_VERSION);
            return 0;
        } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            printUsage(stdout);
            return 0;
        } else {
            std::fprintf(stderr, "kormlink: unknown option %s\n", argv[i]);
            printUsage(stderr);
            return 2;
        }
    }

    // The data folder becomes the working directory: the configuration, the logs, the queue
    // files and the message catalogue are all found relative to it.
    if (dataDir && ::chdir(dataDir) != 0) {
        std::fprintf(stderr, "kormlink: cannot use the data folder %s: %s\n", dataDir,
                     std::strerror(errno));
        return 2;
    }
    if (!headless && !hasDisplay()) headless = true;  // said below, once the console is set up

    // Before any file of the folder is opened; held until the process ends. The stop signals
    // still have their default action here, so a wait can be cut short by them.
    FolderLockResult lock = lockFolder(".", waitLockSeconds * 1000, sayWaiting);
    if (lock.outcome != FolderLockResult::Outcome::Taken) {
        char cwd[4096] = ".";
        if (!::getcwd(cwd, sizeof cwd)) std::strcpy(cwd, ".");
        const bool inUse = lock.outcome == FolderLockResult::Outcome::InUse;
        const std::string text =
            inUse ? std::string("The data folder ") + cwd + " is in use by " + lock.holder +
                        "; a second server must not run in it."
                  : std::string("The data folder ") + cwd + " cannot be locked: " + lock.error;
        std::fprintf(stderr, "Kormlink: %s\n", text.c_str());
#ifdef KORMLINK_WITH_UI
        if (!headless) showStartError(argc, argv, text);
#endif
        return inUse ? kExitFolderInUse : 2;
    }

    // Dates in the connection log follow the operator's locale; numbers in protocols never do.
    std::setlocale(LC_TIME, "");
    // SIGINT and SIGTERM are taken by one watcher thread; SIGPIPE is ignored.
    blockStopSignals();

    // From here on the server's threads print through one writer of their own.
    ConsoleOutput output(STDOUT_FILENO, STDERR_FILENO);
    installConsoleOutput(&output);
    struct Uninstall {
        ~Uninstall() { installConsoleOutput(nullptr); }
    } uninstall;

    // Each repeater connection holds one descriptor: the limit bounds how many fit.
    const DescriptorLimit limit = raiseDescriptorLimit();
    if (limit.now > 0 && limit.now != RLIM_INFINITY) {
        const std::uint64_t room =
            limit.now > kReservedDescriptors ? limit.now - kReservedDescriptors : 0;
        if (limit.raised)
            consolePrintf(ConsoleStream::Err,
                          "Kormlink: open files limit raised from %llu to %llu: room for about "
                          "%llu connections",
                          static_cast<unsigned long long>(limit.before),
                          static_cast<unsigned long long>(limit.now),
                          static_cast<unsigned long long>(room));
        else
            consolePrintf(ConsoleStream::Err,
                          "Kormlink: open files limit %llu: room for about %llu connections",
                          static_cast<unsigned long long>(limit.now),
                          static_cast<unsigned long long>(room));
    }

    if (headless && !hasDisplay() && !explicitHeadless)
        consolePrint(ConsoleStream::Err, "Kormlink: no display found, running headless");
#ifdef KORMLINK_WITH_UI
    if (!headless) return runDesktop(argc, argv);
#else
    if (!headless)
        consolePrint(ConsoleStream::Err, "Kormlink: built without a window, running headless");
#endif
    return runHeadless(output);
}
