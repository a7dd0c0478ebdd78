/* What a game loop sees while a connectivity pass runs: the blocking tarn_connect against
 * tarn_connect_async driven by a loop of 1 ms frames. The second player is a silent port, so the
 * pass runs its full rounds. Arguments: key=value configuration; prints one line per call. */
#define _POSIX_C_SOURCE 200112L

#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <tarn/tarn.h>

#define RUNS 5

static pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER; /* guards finished */
static int finished;

static double now_ms(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

static void done(void* user, int result) {
    (void)user;
    (void)result;
    pthread_mutex_lock(&mutex);
    finished = 1;
    pthread_mutex_unlock(&mutex);
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

static void reset(tarn_peer* peers) {
    peers[1].id = 2;
    peers[1].topology = peers[0].topology;
    peers[1].topology.local_port = peers[1].topology.public_port = 9; /* discard: nobody answers */
    peers[0].connection = peers[1].connection = TARN_CONNECTION_NONE;
}

int main(int argc, char** argv) {
    const struct timespec frame = {0, 1000000};
    tarn_peer peers[2];
    int i;
    for (i = 1; i < argc; ++i) {
        char* equals = strchr(argv[i], '=');
        if (equals == NULL) {
            return 2;
        }
        *equals = '\0';
        tarn_config_set(argv[i], equals + 1);
    }
    tarn_set_report_handler(delivered, NULL);
    memset(peers, 0, sizeof peers);
    peers[0].id = 1;
    if (tarn_discover("bench", &peers[0].topology) != TARN_OK) {
        fprintf(stderr, "discovery: %s\n", tarn_last_error());
        return 1;
    }
    for (i = 0; i < RUNS; ++i) {
        double start, returned, last, longest = 0;
        long frames = 0;
        int over = 0;
        reset(peers);
        start = now_ms();
        tarn_connect(1, "bench", peers, 2);
        printf("blocking: returned after %.0f ms, 0 frames\n", now_ms() - start);

        reset(peers);
        pthread_mutex_lock(&mutex);
        finished = 0;
        pthread_mutex_unlock(&mutex);
        start = now_ms();
        if (tarn_connect_async(1, "bench", peers, 2, done, NULL) != TARN_OK) {
            fprintf(stderr, "async: %s\n", tarn_last_error());
            return 1;
        }
        returned = now_ms() - start;
        last = now_ms();
        while (!over) {
            double t;
            nanosleep(&frame, NULL);
            ++frames;
            t = now_ms();
            longest = t - last > longest ? t - last : longest;
            last = t;
            pthread_mutex_lock(&mutex);
            over = finished;
            pthread_mutex_unlock(&mutex);
        }
        printf("async: returned after %.3f ms, %ld frames in %.0f ms, longest frame %.2f ms\n", returned,
               frames, now_ms() - start, longest);
    }
    tarn_shutdown();
    return 0;
}
