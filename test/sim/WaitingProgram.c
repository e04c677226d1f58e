/* Waits 5 s in the call named by its argument (poll, ppoll, epoll_wait or select) for a pipe
   that nobody writes to, or, given "written", that a thread writes to after sleeping 1 s; then
   says what the call returned and how far the monotonic and the wall clock moved meanwhile.
   The thread keeps calling the board from its start to its sleep, and from its write until the
   wait has returned, so that the run's clock, which moves on once no process has called it for
   a moment, waits for it. */
#define _GNU_SOURCE
#include <poll.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdio.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/select.h>
#include <time.h>
#include <unistd.h>

static int ends[2];
static atomic_int started, returned;

static void* writeLater(void* unused) {
    (void)unused;
    atomic_store(&started, 1);
    sleep(1);
    if (write(ends[1], "x", 1) != 1) perror("write");
    while (!atomic_load(&returned)) usleep(0);
    return NULL;
}

static long long millisecondsOf(clockid_t clock) {
    struct timespec now;
    clock_gettime(clock, &now);
    return (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

static int waitIn(const char* call) {
    if (strcmp(call, "poll") == 0) {
        struct pollfd watched = {ends[0], POLLIN, 0};
        return poll(&watched, 1, 5000);
    }
    if (strcmp(call, "ppoll") == 0) {
        struct pollfd watched = {ends[0], POLLIN, 0};
        const struct timespec timeout = {5, 0};
        return ppoll(&watched, 1, &timeout, NULL);
    }
    if (strcmp(call, "epoll_wait") == 0) {
        struct epoll_event event = {.events = EPOLLIN, .data.fd = ends[0]};
        const int epfd = epoll_create1(0);
        epoll_ctl(epfd, EPOLL_CTL_ADD, ends[0], &event);
        const int outcome = epoll_wait(epfd, &event, 1, 5000);
        close(epfd);
        return outcome;
    }
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(ends[0], &readable);
    struct timeval timeout = {5, 0};
    return select(ends[0] + 1, &readable, NULL, NULL, &timeout);
}

int main(int argc, char** argv) {
    if (argc < 2 || pipe(ends) != 0) return 64;
    const long long monotonic = millisecondsOf(CLOCK_MONOTONIC),
                    wall = millisecondsOf(CLOCK_REALTIME);
    pthread_t writer;
    const int written = argc > 2 && strcmp(argv[2], "written") == 0;
    if (written) pthread_create(&writer, NULL, writeLater, NULL);
    while (written && !atomic_load(&started)) usleep(0);
    const int outcome = waitIn(argv[1]);
    atomic_store(&returned, 1);
    printf("%s: %d after %lld ms (wall clock %lld ms)\n", argv[1], outcome,
           millisecondsOf(CLOCK_MONOTONIC) - monotonic, millisecondsOf(CLOCK_REALTIME) - wall);
    if (written) pthread_join(writer, NULL);
    return 0;
}
