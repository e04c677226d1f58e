/* What a node command round trip costs in CPU when the program and the board are two
 * processes: `i2c-kestro-sim --fast -- kestro-link-round-trips N` for N = 0 and for N round
 * trips, the launcher's CPU and its program's together (the kernel's accounting of the launcher
 * when it ends, which takes in the program it waited for), less the fixed start-up, per round
 * trip. The median of RUNS runs of each is taken. The in-process figure is kestro-bench's
 * BM_SimulatorCpuPerRoundTripFast. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

enum { RUNS = 5, DEFAULT_ROUND_TRIPS = 20000 };

extern char** environ;

struct Cost {
    double totalUs;    /* launcher and program */
    double programUs;  /* the program alone, as it reported */
};

static double microseconds(const struct timeval* user, const struct timeval* system) {
    return (double)(user->tv_sec + system->tv_sec) * 1e6 + (double)(user->tv_usec + system->tv_usec);
}

/* One run with `roundTrips`; exits when it fails. */
static struct Cost runOnce(long roundTrips) {
    char count[32];
    snprintf(count, sizeof count, "%ld", roundTrips);
    char* argv[] = {KESTRO_SIM_LAUNCHER, "--fast", "--scenario", KESTRO_EXAMPLE_BOARD, "--",
                    KESTRO_ROUND_TRIPS_PATH, count, NULL};
    char output[] = "/tmp/kestro-link-cost-XXXXXX";
    const int fd = mkstemp(output);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fd, STDOUT_FILENO);
    pid_t pid = -1;
    int status = -1;
    struct rusage usage;
    const int spawned = fd >= 0 && posix_spawn(&pid, argv[0], &actions, NULL, argv, environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    const int ended = spawned && wait4(pid, &status, 0, &usage) == pid && WIFEXITED(status) &&
                      WEXITSTATUS(status) == 0;
    struct Cost cost = {0.0, -1.0};
    FILE* reported = ended ? fopen(output, "r") : NULL;
    if (reported == NULL || fscanf(reported, "%lf", &cost.programUs) != 1) {
        fprintf(stderr, "kestro-link-cost: %ld round trips under %s did not run\n", roundTrips, argv[0]);
        exit(1);
    }
    fclose(reported);
    close(fd);
    unlink(output);
    cost.totalUs = microseconds(&usage.ru_utime, &usage.ru_stime);
    return cost;
}

static int compareCosts(const void* left, const void* right) {
    const double a = ((const struct Cost*)left)->totalUs;
    const double b = ((const struct Cost*)right)->totalUs;
    return (a > b) - (a < b);
}

static struct Cost median(long roundTrips) {
    struct Cost costs[RUNS];
    for (int run = 0; run < RUNS; ++run) costs[run] = runOnce(roundTrips);
    qsort(costs, RUNS, sizeof *costs, compareCosts);
    return costs[RUNS / 2];
}

int main(int argc, char** argv) {
    const long roundTrips = argc > 1 ? atol(argv[1]) : DEFAULT_ROUND_TRIPS;
    if (roundTrips <= 0) {
        fprintf(stderr, "usage: kestro-link-cost [ROUND_TRIPS]\n");
        return 2;
    }
    const struct Cost fixed = median(0);
    const struct Cost busy = median(roundTrips);
    const double perCommand = (busy.totalUs - fixed.totalUs) / (double)roundTrips;
    const double program = (busy.programUs - fixed.programUs) / (double)roundTrips;
    printf("Cross-process cost of a node command round trip, --fast, median of %d runs of %ld\n", RUNS,
           roundTrips);
    printf("%-40s %8.2f us (target: at most 20)\n", "cross_process_cpu_per_command_us", perCommand);
    printf("%-40s %8.2f us\n", "  of which the program's", program);
    printf("%-40s %8.2f us\n", "  of which the launcher's", perCommand - program);
    printf("%-40s %8.2f ms\n", "fixed start-up (launcher and program)", fixed.totalUs / 1e3);
    return 0;
}
