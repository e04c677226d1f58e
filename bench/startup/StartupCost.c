/* What one run of a program costs before it does its work: the shared libraries it loads at
 * start, its CPU time (user + system) and its peak resident memory, read from the kernel's
 * accounting of the child when it ends (wait4). The median of RUNS runs of each case is printed.
 *
 * Written in C and kept small on purpose: a child's peak resident memory also counts the pages
 * the parent had when it forked, so the measuring process must be smaller than anything it
 * measures (a C++ program, libstdc++ loaded, is larger than `true`). */
#define _GNU_SOURCE
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

enum { RUNS = 21, MAX_ENV = 256, SERVER_START_TRIES = 500 };

extern char** environ;

struct Cost {
    int libraries;
    double cpuMs;
    double peakMiB;
};

/* The process environment plus `extra` (NULL-terminated "NAME=value" entries). */
static char** environmentWith(char* const* extra) {
    static char* list[MAX_ENV];
    int count = 0;
    for (char* const* entry = extra; entry != NULL && *entry != NULL && count < MAX_ENV - 1;) {
        list[count++] = *entry++;
    }
    for (char** entry = environ; *entry != NULL && count < MAX_ENV - 1;) list[count++] = *entry++;
    list[count] = NULL;
    return list;
}

/* Starts argv with its standard output and error sent to `output` (opened for writing). */
static pid_t start(char* const* argv, char* const* extra, const char* output) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output, O_WRONLY | O_TRUNC | O_CREAT, 0600);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, NULL, argv, environmentWith(extra)) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

/* Runs argv to its end; returns 0 and fills `usage` when it ended with `expected`. */
static int runOnce(char* const* argv, char* const* extra, const char* output, int expected,
                   struct rusage* usage) {
    const pid_t pid = start(argv, extra, output);
    int status = 0;
    if (pid < 0 || wait4(pid, &status, 0, usage) != pid) return -1;
    return WIFEXITED(status) && WEXITSTATUS(status) == expected ? 0 : -1;
}

/* The libraries the dynamic loader maps at start, as ldd lists them (the loader itself too). */
static int librariesLoaded(char* const* argv, char* const* extra) {
    char listing[] = "/tmp/kestro-startup-cost-XXXXXX";
    const int fd = mkstemp(listing);
    if (fd < 0) return -1;
    close(fd);
    char* traced[MAX_ENV];
    int count = 0;
    traced[count++] = "LD_TRACE_LOADED_OBJECTS=1";
    for (char* const* entry = extra; entry != NULL && *entry != NULL && count < MAX_ENV - 1;) {
        traced[count++] = *entry++;
    }
    traced[count] = NULL;
    struct rusage ignored;
    int lines = runOnce(argv, traced, listing, 0, &ignored) == 0 ? 0 : -1;
    FILE* file = fopen(listing, "r");
    for (int c; lines >= 0 && file != NULL && (c = fgetc(file)) != EOF;) lines += c == '\n';
    if (file != NULL) fclose(file);
    unlink(listing);
    return lines;
}

static int compareDoubles(const void* left, const void* right) {
    const double a = *(const double*)left;
    const double b = *(const double*)right;
    return (a > b) - (a < b);
}

static double median(double* values) {
    qsort(values, RUNS, sizeof *values, compareDoubles);
    return values[RUNS / 2];
}

/* Median cost of RUNS runs of argv, which must end with `expected`; exits on a failed run. */
static struct Cost measure(char* const* argv, char* const* extra, int expected) {
    double cpu[RUNS];
    double peak[RUNS];
    for (int run = 0; run < RUNS; ++run) {
        struct rusage usage;
        if (runOnce(argv, extra, "/dev/null", expected, &usage) != 0) {
            fprintf(stderr, "kestro-startup-cost: %s did not end with status %d\n", argv[0], expected);
            exit(1);
        }
        cpu[run] = (double)(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
                   (double)(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
        peak[run] = (double)usage.ru_maxrss / 1024.0;
    }
    const struct Cost cost = {librariesLoaded(argv, extra), median(cpu), median(peak)};
    return cost;
}

static void printCost(const char* what, struct Cost cost) {
    printf("%-58s %9d %7.2f %8.2f\n", what, cost.libraries, cost.cpuMs, cost.peakMiB);
}

/* The program's own share of a run: `total` less `base`, which ran the same way without it. The
 * peak resident memory cannot be split so: the whole run's is printed, with what it adds. */
static void printShare(const char* what, struct Cost total, struct Cost base) {
    printf("%-48s %6.2f ms CPU, peak %5.2f MiB (%+.2f MiB)\n", what, total.cpuMs - base.cpuMs,
           total.peakMiB, total.peakMiB - base.peakMiB);
}

/* A board served by the launcher (--serve) in a private runtime folder, which the simulated runs
 * below reach as a launcher's programs do; its own CPU time is not theirs. */
struct ServedBoard {
    pid_t pid;
    char runtime[40];
    char boardVariable[160];  /* KESTRO_SIM_BOARD=<the socket> */
    const char* socket;
};

static int answers(const char* path) {
    struct sockaddr_un address = {.sun_family = AF_UNIX};
    const size_t length = strlen(path);
    if (length >= sizeof address.sun_path) return 0;
    memcpy(address.sun_path, path, length);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int connected = fd >= 0 && connect(fd, (const struct sockaddr*)&address, sizeof address) == 0;
    if (fd >= 0) close(fd);
    return connected;
}

static struct ServedBoard served = {.pid = -1};

/* Also on the way out of a failed measure. */
static void stopBoard(void) {
    if (served.pid <= 0) return;
    kill(served.pid, SIGTERM);
    waitpid(served.pid, NULL, 0);
    served.pid = -1;
    char folder[128];
    snprintf(folder, sizeof folder, "%s/i2c-kestro-sim", served.runtime);
    rmdir(folder);
    rmdir(served.runtime);
}

static void serveBoard(void) {
    struct ServedBoard* board = &served;
    strcpy(board->runtime, "/tmp/kestro-startup-cost-XXXXXX");
    if (mkdtemp(board->runtime) == NULL) {
        perror("kestro-startup-cost: runtime folder");
        exit(1);
    }
    snprintf(board->boardVariable, sizeof board->boardVariable,
             "KESTRO_SIM_BOARD=%s/i2c-kestro-sim/bench-startup.sock", board->runtime);
    board->socket = strchr(board->boardVariable, '=') + 1;
    char runtimeVariable[sizeof "XDG_RUNTIME_DIR=" + sizeof board->runtime];
    snprintf(runtimeVariable, sizeof runtimeVariable, "XDG_RUNTIME_DIR=%s", board->runtime);
    char* runtime[] = {runtimeVariable, NULL};
    char* serve[] = {KESTRO_SIM_LAUNCHER, "--serve", "--name", "bench-startup", "--fast", "--scenario",
                     KESTRO_EXAMPLE_BOARD, NULL};
    board->pid = start(serve, runtime, "/dev/null");
    atexit(stopBoard);
    const struct timespec pause = {0, 10 * 1000 * 1000};
    for (int tries = 0; board->pid > 0 && !answers(board->socket) && tries < SERVER_START_TRIES; ++tries) {
        nanosleep(&pause, NULL);
    }
    if (board->pid < 0 || !answers(board->socket)) {
        fprintf(stderr, "kestro-startup-cost: the served board did not come up at %s\n", board->socket);
        exit(1);
    }
}

int main(void) {
    char* trueCommand[] = {"/bin/true", NULL};
    char* version[] = {KESTRO_CLI_PATH, "--version", NULL};
    char* identity[] = {KESTRO_CLI_PATH, "node", "0x10", "get-identity", NULL};
    char* launcher[] = {KESTRO_SIM_LAUNCHER, "--fast", "--scenario", KESTRO_EXAMPLE_BOARD, "--", "/bin/true", NULL};
    /* The simulated board as a launcher's program reaches it, without the device API. */
    serveBoard();
    char* simulated[] = {"LD_PRELOAD=" KESTRO_SIM_PRELOAD, served.boardVariable, NULL};

    printf("Start-up cost, median of %d runs (libraries mapped at start; CPU = user + system)\n", RUNS);
    printf("%-58s %9s %7s %8s\n", "", "libraries", "CPU ms", "peak MiB");
    const struct Cost bare = measure(trueCommand, NULL, 0);
    printCost("true", bare);
    const struct Cost versionCost = measure(version, NULL, 0);
    printCost("i2c-kestro-cli --version", versionCost);
    const struct Cost simulatedTrue = measure(trueCommand, simulated, 0);
    printCost("true, simulated board preloaded", simulatedTrue);
    const struct Cost identityCost = measure(identity, simulated, 0);
    printCost("i2c-kestro-cli node 0x10 get-identity, simulated (--fast)", identityCost);
    stopBoard();
    const struct Cost launcherCost = measure(launcher, NULL, 0);
    printCost("i2c-kestro-sim --fast -- true", launcherCost);

    printf("\nOwn share (target: at most 5 ms CPU and 5 MiB peak each)\n");
    printShare("i2c-kestro-cli --version:", versionCost, (struct Cost){0, 0.0, 0.0});
    printShare("get-identity, less the simulated board's true:", identityCost, simulatedTrue);
    printShare("i2c-kestro-sim, less its program (the same):", launcherCost, simulatedTrue);
    return 0;
}
