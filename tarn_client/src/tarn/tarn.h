#ifndef TARN_TARN_H
#define TARN_TARN_H

/* The library's C interface, for hosts that cannot use the C++ facade: C games, Unity through
 * P/Invoke, Godot and Rust bindings, Python through ctypes. C99; only C types cross it, and no
 * exception ever does.
 *
 * Threads
 * - One operation at a time: while tarn_discover, tarn_connect or one of their _async forms
 *   runs, every other of them and tarn_config_set return TARN_E_BUSY at once. This holds across
 *   threads and across both interfaces (see "Mixing" below).
 * - tarn_discover and tarn_connect block the calling thread for the whole operation (discovery
 *   takes about 0.5 to 1 s, a connectivity pass up to about 2 s at the default settings; each of
 *   the at most 10 tarn.retries adds one wait). A game loop calls the _async
 *   forms instead: they return at once, run the operation on a library thread, and call `done`
 *   there exactly once, after `out` or `peers` hold the result. The caller keeps those buffers
 *   alive and does not touch them until `done` has been called. `done` is called only when the
 *   _async call returned TARN_OK.
 * - By the time `done` runs the operation is over: `done` may start the next one.
 * - The report handler runs on the thread of the operation: the caller's for the blocking
 *   forms, the library thread for the _async forms.
 * - Every other function may be called from any thread at any time.
 *
 * Mixing with the C++ facade
 * Both interfaces may be used in one process: they share one library (configuration,
 * discovered topology, log) and one operation at a time (a C call is refused while
 * TARNWrapper::notifyLattice or connect runs, and those return false while a C call runs). Each
 * sends its reports to its own receiver: C calls to the function set with
 * tarn_set_report_handler, the facade to the proxy set with setLatticeProxy. tarn_shutdown
 * ends both: afterwards the facade's operations return false too. The Configurator that
 * TARNWrapper::getConfigurator hands out is not guarded: change values through it only while no
 * operation runs, or use tarn_config_set.
 */

#include <stddef.h>
#include <stdint.h>

#include "tarn/client/Export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Results: TARN_OK or one of these negative codes; tarn_last_error() says more. */
#define TARN_OK 0
/* Another operation runs; nothing was done. */
#define TARN_E_BUSY (-1)
/* A null pointer, an empty peer list, an address without its terminating NUL, a value outside
 * its table; nothing was done. */
#define TARN_E_INVALID (-2)
/* tarn_shutdown has been called; nothing was done. */
#define TARN_E_SHUTDOWN (-3)
/* Discovery failed. `out` holds what the library knows: an earlier valid topology, which was
 * then reported, or an invalid one, which was not. */
#define TARN_E_DISCOVERY (-4)
/* The connectivity pass failed; every peer it did not reach is marked TARN_CONNECTION_RELAY and
 * the report was still sent. */
#define TARN_E_CONNECT (-5)
/* The work succeeded and its results are in place, but the report handler answered non-zero. */
#define TARN_E_REPORT (-6)
/* The work succeeded and its results are in place, but no report handler is set. */
#define TARN_E_NO_HANDLER (-7)
/* The library failed inside (out of memory, no thread could be started). */
#define TARN_E_INTERNAL (-8)

/* NAT types, as found by discovery (tarn_topology.nat_type). */
#define TARN_NAT_UNKNOWN 0
#define TARN_NAT_NONE 1
#define TARN_NAT_FULL_CONE 2
#define TARN_NAT_RESTRICTED_CONE 3
#define TARN_NAT_PORT_RESTRICTED_CONE 4
#define TARN_NAT_SYMMETRIC 5

/* Whether the NAT's handling depends on the remote address or port (nat_behavior). */
#define TARN_BEHAVIOR_UNKNOWN 0
#define TARN_BEHAVIOR_NOT_SENSITIVE 1
#define TARN_BEHAVIOR_ADDRESS_SENSITIVE 2
#define TARN_BEHAVIOR_PORT_SENSITIVE 3

/* How a peer is reached (tarn_peer.connection). The host passes TARN_CONNECTION_NONE. */
#define TARN_CONNECTION_NONE 0
#define TARN_CONNECTION_DIRECT_PRIVATE 1
#define TARN_CONNECTION_DIRECT_PUBLIC 2
#define TARN_CONNECTION_RELAY 3
/* The entry of the peer list that is the local client itself. */
#define TARN_CONNECTION_SELF 4

/* Room for an address text with its terminating NUL. */
#define TARN_ADDR_SIZE 46

/* A network topology: ours after discovery, or a peer's as that peer reported it. Addresses are
 * dotted IPv4 text; a port the library does not know is 0. */
typedef struct tarn_topology {
    int32_t nat_type, nat_behavior, nat_increment;
    char local_addr[TARN_ADDR_SIZE];
    uint16_t local_port;
    char public_addr[TARN_ADDR_SIZE];
    uint16_t public_port;
} tarn_topology;

/* One player of a game, the local client included. The host writes id and topology; the library
 * writes connection and, for a peer reached through its NAT, the public endpoint it answered from. */
typedef struct tarn_peer {
    int64_t id;
    tarn_topology topology;
    int32_t connection;
} tarn_peer;

/* The host's meta-service client: delivers one report ("SetNatType" or "UpdateP2PInfo" of
 * featurette "P2P"). params holds 2*count strings, key, value, key, value ...; they are valid
 * only during the call. Returns the meta service's code: 0 means delivered. */
typedef int (*tarn_report_fn)(void* user, const char* featurette, const char* method,
                              const char* const* params, size_t count);

/* Called once when an _async operation has ended, with the result its blocking form returns. */
typedef void (*tarn_done_fn)(void* user, int result);

/* The library's version, "major.minor.patch"; a static string. */
TARN_API const char* tarn_version(void);

/* Sets one configuration value, as a line of tarn.cfg would (key "tarn.addr.1", value
 * "192.0.2.1"). A service reads its keys when it starts, that is at the first operation that
 * needs it: set them before. TARN_OK, or TARN_E_INVALID, TARN_E_BUSY, TARN_E_SHUTDOWN. */
TARN_API int tarn_config_set(const char* key, const char* value);

/* The receiver of the reports of every later C operation (an operation already running keeps the
 * one it started with); null removes it. user is handed back to fn unchanged. */
TARN_API void tarn_set_report_handler(tarn_report_fn fn, void* user);

/* Discovers the local topology into *out and sends the "SetNatType" report; blocks. TARN_OK when
 * discovery succeeded and the report was delivered; TARN_E_REPORT or TARN_E_NO_HANDLER when only
 * the report failed, with *out filled all the same. */
TARN_API int tarn_discover(const char* user_id, tarn_topology* out);

/* Tries to reach every peer of the game and sends the "UpdateP2PInfo" report; blocks. peers
 * lists every player, the local client (client_id) included; on return each entry's connection
 * is set, none left at TARN_CONNECTION_NONE. TARN_OK when the pass ran and the report was
 * delivered. Run tarn_discover first. */
TARN_API int tarn_connect(int64_t client_id, const char* game_id, tarn_peer* peers, size_t count);

/* tarn_discover on the library thread: TARN_OK when it was started, and then done(user, result)
 * follows once. */
TARN_API int tarn_discover_async(const char* user_id, tarn_topology* out, tarn_done_fn done, void* user);

/* tarn_connect on the library thread; game_id and the peers' inputs are copied before it returns. */
TARN_API int tarn_connect_async(int64_t client_id, const char* game_id, tarn_peer* peers, size_t count,
                                tarn_done_fn done, void* user);

/* What went wrong in the calling thread's last failed call ("" before the first); unchanged by
 * calls that succeed. Valid until that thread's next failing call. In `done`, the text of the
 * operation's failure. */
TARN_API const char* tarn_last_error(void);

/* Refuses every later operation and configuration call (TARN_E_SHUTDOWN), waits for a running
 * operation to end and, for an _async one, for its `done` to return, stops the library thread,
 * and deletes the port mapping held at the router (renewing it no more), within 250 ms whatever
 * the router does. Safe to call more than once, at exit and before unloading the library. Called
 * from a report handler or from `done` (or from any library thread), it cannot wait for the
 * operation it is called from: it returns at once, the mapping is deleted in the background, and
 * the library thread ends after that operation. An _async call that `done` started before it is
 * not run: its `done` follows with TARN_E_SHUTDOWN. */
TARN_API void tarn_shutdown(void);

#ifdef __cplusplus
}
#endif

#endif /* TARN_TARN_H */
