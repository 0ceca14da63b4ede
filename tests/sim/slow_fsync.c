/* Preloaded into a simulator to stand for a slow disk: every fsync first
   waits ZENTA_TEST_FSYNC_US microseconds. */
#define _GNU_SOURCE
#include <stdlib.h>
#include <sys/syscall.h>
#include <unistd.h>

int fsync(int fd)
{
    const char *us = getenv("ZENTA_TEST_FSYNC_US");
    if (us)
        usleep((useconds_t)atoi(us));
    return (int)syscall(SYS_fsync, fd);
}
