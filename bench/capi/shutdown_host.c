/* A host that leaves multiplayer and keeps running: discovers (blocking), prints its public endpoint,
 * holds for hold_before seconds, then starts an _async discovery whose done starts the next call
 * and shuts the library down (as tarn.h allows), or with from_main=1 shuts down from main, holds for
 * hold_after seconds with the process kept alive, and exits. Arguments: key=value configuration
 * lines, and hold_before=S, hold_after=S, from_main=1.
 * Prints one line per step, each with the milliseconds since start, so that a harness can time the
 * shutdown and the exit and look at the router while the process holds. */
#define _POSIX_C_SOURCE 200112L

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <tarn/tarn.h>

static pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER; /* guards dones */
static pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
static int dones;
static double started;
static tarn_topology out;

static double now_ms(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

static void step(const char* text, int value) {
    printf("%.1f ms: %s %d\n", now_ms() - started, text, value);
    fflush(stdout);
}

static void counted(void* user, int result) {
    (void)user;
    step("done", result);
    pthread_mutex_lock(&mutex);
    ++dones;
    pthread_cond_broadcast(&changed);
    pthread_mutex_unlock(&mutex);
}

/* The next call, then the shutdown, from done. */
static void leave(void* user, int result) {
    double before;
    counted(user, result);
    step("second call started", tarn_discover_async("host", &out, counted, NULL));
    before = now_ms();
    tarn_shutdown();
    step("tarn_shutdown from done returned, microseconds:", (int)((now_ms() - before) * 1e3));
}

static int delivered(void* user, const char* featurette, const char* method, const char* const* params,
                     size_t count) {
    (void)user;
    (void)featurette;
    (void)method;
    (void)params;
    (void)count;
    return 0;
}

static void hold(double seconds) {
    struct timespec pause;
    pause.tv_sec = (time_t)seconds;
    pause.tv_nsec = (long)((seconds - (double)pause.tv_sec) * 1e9);
    nanosleep(&pause, NULL);
}

int main(int argc, char** argv) {
    double holdBefore = 0, holdAfter = 0, before;
    int fromMain = 0;
    int i;
    started = now_ms();
    for (i = 1; i < argc; ++i) {
        char* value = strchr(argv[i], '=');
        if (value == NULL) {
            fprintf(stderr, "usage: %s key=value... [hold_before=S] [hold_after=S]\n", argv[0]);
            return 2;
        }
        *value++ = '\0';
        if (strcmp(argv[i], "hold_before") == 0) {
            holdBefore = atof(value);
        } else if (strcmp(argv[i], "hold_after") == 0) {
            holdAfter = atof(value);
        } else if (strcmp(argv[i], "from_main") == 0) {
            fromMain = atoi(value);
        } else if (tarn_config_set(argv[i], value) != TARN_OK) {
            fprintf(stderr, "%s\n", tarn_last_error());
            return 2;
        }
    }
    tarn_set_report_handler(delivered, NULL);
    step("discovered", tarn_discover("host", &out));
    printf("public %s:%u\n", out.public_addr, out.public_port);
    fflush(stdout);
    hold(holdBefore);
    if (fromMain) {
        before = now_ms();
        tarn_shutdown();
        step("tarn_shutdown from main returned, microseconds:", (int)((now_ms() - before) * 1e3));
    } else {
        step("first call started", tarn_discover_async("host", &out, leave, NULL));
        pthread_mutex_lock(&mutex);
        while (dones < 2) {
            pthread_cond_wait(&changed, &mutex);
        }
        pthread_mutex_unlock(&mutex);
    }
    step("holding, seconds:", (int)holdAfter);
    hold(holdAfter);
    step("exiting", 0);
    return 0;
}
