/* A small C host of the tarn library: discovers this machine's topology, reads the other
 * players' topologies, and connects to them, blocking or, with --async, from a game loop that
 * keeps drawing frames while the library works on its own thread.
 *
 *   tarn_host [--async] CLIENT_ID GAME [key=value ...]
 *
 * key=value pairs are configuration (tarn.addr.1=192.0.2.1 ...). Standard output gets
 *   player ID NAT_TYPE NAT_BEHAVIOR NAT_INCREMENT LOCAL_ADDR LOCAL_PORT PUBLIC_ADDR PUBLIC_PORT
 * for this player after discovery; standard input gives one such line per other player, ended by
 * an empty line or the end of input. Then one line "result ID CONNECTION" per player, and with
 * --async "frames N" (the frames drawn while the pass ran). Exits 0 when both operations
 * succeeded. Build: cc -std=c99 tarn_host.c $(pkg-config --cflags --libs tarn_client) -pthread
 */
#define _POSIX_C_SOURCE 200112L

#include <inttypes.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <tarn/tarn.h>

#define MAX_PLAYERS 16

/* The game's meta-service client: here it only prints each report. */
static int print_report(void* user, const char* featurette, const char* method, const char* const* params,
                        size_t count) {
    size_t i;
    (void)user;
    fprintf(stderr, "report %s::%s", featurette, method);
    for (i = 0; i < count; ++i) {
        fprintf(stderr, " %s=%s", params[2 * i], params[2 * i + 1]);
    }
    fprintf(stderr, "\n");
    return 0;
}

static void print_player(int64_t id, const tarn_topology* t) {
    printf("player %lld %" PRId32 " %" PRId32 " %" PRId32 " %s %u %s %u\n", (long long)id, t->nat_type,
           t->nat_behavior, t->nat_increment, t->local_addr, (unsigned)t->local_port, t->public_addr,
           (unsigned)t->public_port);
    fflush(stdout);
}

/* One "player ..." line into *peer; 0 when the line is not one. */
static int parse_player(const char* line, tarn_peer* peer) {
    long long id;
    unsigned local_port, public_port;
    char local_addr[TARN_ADDR_SIZE], public_addr[TARN_ADDR_SIZE];
    tarn_topology* t = &peer->topology;
    if (sscanf(line, "player %lld %" SCNd32 " %" SCNd32 " %" SCNd32 " %45s %u %45s %u", &id, &t->nat_type,
               &t->nat_behavior, &t->nat_increment, local_addr, &local_port, public_addr,
               &public_port) != 8 ||
        local_port > 65535 || public_port > 65535) {
        return 0;
    }
    peer->id = id;
    strcpy(t->local_addr, local_addr);
    t->local_port = (uint16_t)local_port;
    strcpy(t->public_addr, public_addr);
    t->public_port = (uint16_t)public_port;
    peer->connection = TARN_CONNECTION_NONE;
    return 1;
}

/* What the library thread hands the game loop: the pass's result, once. */
struct pass_state {
    pthread_mutex_t mutex; /* guards finished and result */
    int finished;
    int result;
};

/* Runs on the library thread when tarn_connect_async has ended. */
static void pass_done(void* user, int result) {
    struct pass_state* state = user;
    pthread_mutex_lock(&state->mutex);
    state->finished = 1;
    state->result = result;
    pthread_mutex_unlock(&state->mutex);
}

/* A game loop: one frame a millisecond until the pass is done; returns its result. */
static int connect_from_game_loop(int64_t client_id, const char* game, tarn_peer* peers, size_t count) {
    struct pass_state state;
    const struct timespec frame = {0, 1000000};
    long frames = 0;
    int finished = 0;
    int result;
    pthread_mutex_init(&state.mutex, NULL);
    state.finished = 0;
    state.result = TARN_E_INTERNAL;
    result = tarn_connect_async(client_id, game, peers, count, pass_done, &state);
    if (result != TARN_OK) {
        pthread_mutex_destroy(&state.mutex);
        return result;
    }
    while (!finished) {
        nanosleep(&frame, NULL); /* a real game draws its frame here */
        ++frames;
        pthread_mutex_lock(&state.mutex);
        finished = state.finished;
        result = state.result;
        pthread_mutex_unlock(&state.mutex);
    }
    printf("frames %ld\n", frames);
    pthread_mutex_destroy(&state.mutex);
    return result;
}

int main(int argc, char** argv) {
    static const char* const connection_names[] = {"NONE", "DIRECT_PRIVATE", "DIRECT_PUBLIC", "RELAY",
                                                   "SELF"};
    tarn_peer peers[MAX_PLAYERS];
    size_t count = 1;
    char line[256];
    char user_id[32];
    int async = 0;
    int first = 1;
    int64_t client_id;
    int result;
    size_t i;

    if (argc > 1 && strcmp(argv[1], "--async") == 0) {
        async = 1;
        first = 2;
    }
    if (argc < first + 2) {
        fprintf(stderr, "usage: %s [--async] CLIENT_ID GAME [key=value ...]\n", argv[0]);
        return 2;
    }
    client_id = strtoll(argv[first], NULL, 10);
    for (i = (size_t)first + 2; i < (size_t)argc; ++i) {
        char* equals = strchr(argv[i], '=');
        if (equals == NULL) {
            fprintf(stderr, "not key=value: %s\n", argv[i]);
            return 2;
        }
        *equals = '\0';
        if (tarn_config_set(argv[i], equals + 1) != TARN_OK) {
            fprintf(stderr, "%s\n", tarn_last_error());
            return 1;
        }
    }
    tarn_set_report_handler(print_report, NULL);
    fprintf(stderr, "tarn %s\n", tarn_version());

    /* Discovery. The first entry of the peer list is this player. */
    snprintf(user_id, sizeof user_id, "player-%lld", (long long)client_id);
    memset(peers, 0, sizeof peers);
    peers[0].id = client_id;
    result = tarn_discover(user_id, &peers[0].topology);
    if (result != TARN_OK) {
        fprintf(stderr, "discovery: %d %s\n", result, tarn_last_error());
        return 1;
    }
    print_player(client_id, &peers[0].topology);

    /* The other players, as the game's lobby would hand them over. */
    while (count < MAX_PLAYERS && fgets(line, sizeof line, stdin) != NULL && line[0] != '\n') {
        if (parse_player(line, &peers[count])) {
            ++count;
        } else {
            fprintf(stderr, "not a player line: %s", line);
        }
    }

    result = async ? connect_from_game_loop(client_id, argv[first + 1], peers, count)
                   : tarn_connect(client_id, argv[first + 1], peers, count);
    for (i = 0; i < count; ++i) {
        const int32_t c = peers[i].connection;
        printf("result %lld %s\n", (long long)peers[i].id, c >= 0 && c <= 4 ? connection_names[c] : "?");
    }
    if (result != TARN_OK) {
        fprintf(stderr, "connect: %d %s\n", result, tarn_last_error());
    }
    tarn_shutdown();
    return result == TARN_OK ? 0 : 1;
}
