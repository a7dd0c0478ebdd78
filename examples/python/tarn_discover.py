#!/usr/bin/env python3
"""Discovers this machine's network topology through the tarn library's C interface, with ctypes.

    tarn_discover.py [--library PATH] [key=value ...]

key=value pairs are configuration (tarn.addr.1=192.0.2.1 ...). Prints the "SetNatType" report
and the topology; exits 0 when discovery succeeded (the report is printed, not delivered anywhere).
"""
import argparse
import ctypes
import ctypes.util
import sys

ADDR_SIZE = 46  # TARN_ADDR_SIZE
TARN_OK = 0
NAT_TYPES = ["UNKNOWN", "NONE", "FULL CONE", "RESTRICTED CONE", "PORT RESTRICTED CONE", "SYMMETRIC"]
BEHAVIORS = ["UNKNOWN", "NOT SENSITIVE", "ADDRESS SENSITIVE", "PORT SENSITIVE"]


class Topology(ctypes.Structure):
    """struct tarn_topology"""
    _fields_ = [
        ("nat_type", ctypes.c_int32),
        ("nat_behavior", ctypes.c_int32),
        ("nat_increment", ctypes.c_int32),
        ("local_addr", ctypes.c_char * ADDR_SIZE),
        ("local_port", ctypes.c_uint16),
        ("public_addr", ctypes.c_char * ADDR_SIZE),
        ("public_port", ctypes.c_uint16),
    ]


REPORT_FN = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_char_p, ctypes.c_char_p,
                             ctypes.POINTER(ctypes.c_char_p), ctypes.c_size_t)


def load(path):
    """The library with the prototypes of the functions used here."""
    tarn = ctypes.CDLL(path or ctypes.util.find_library("tarn_client") or "libtarn_client.so.1")
    tarn.tarn_version.restype = ctypes.c_char_p
    tarn.tarn_version.argtypes = []
    tarn.tarn_last_error.restype = ctypes.c_char_p
    tarn.tarn_last_error.argtypes = []
    tarn.tarn_config_set.restype = ctypes.c_int
    tarn.tarn_config_set.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
    tarn.tarn_set_report_handler.restype = None
    tarn.tarn_set_report_handler.argtypes = [REPORT_FN, ctypes.c_void_p]
    tarn.tarn_discover.restype = ctypes.c_int
    tarn.tarn_discover.argtypes = [ctypes.c_char_p, ctypes.POINTER(Topology)]
    tarn.tarn_shutdown.restype = None
    tarn.tarn_shutdown.argtypes = []
    return tarn


def print_report(_user, featurette, method, params, count):
    """The meta-service client: prints the report; 0 means delivered."""
    pairs = " ".join(f"{params[2 * i].decode()}={params[2 * i + 1].decode()}" for i in range(count))
    print(f"report {featurette.decode()}::{method.decode()} {pairs}")
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--library", help="path of libtarn_client.so (default: the system's)")
    parser.add_argument("settings", nargs="*", metavar="key=value")
    args = parser.parse_args()
    tarn = load(args.library)
    print(f"tarn {tarn.tarn_version().decode()}")
    for setting in args.settings:
        key, _, value = setting.partition("=")
        if tarn.tarn_config_set(key.encode(), value.encode()) != TARN_OK:
            sys.exit(tarn.tarn_last_error().decode())
    # Kept referenced for as long as the library may call it.
    handler = REPORT_FN(print_report)
    tarn.tarn_set_report_handler(handler, None)
    topology = Topology()
    result = tarn.tarn_discover(b"python-user", ctypes.byref(topology))
    tarn.tarn_shutdown()
    nat = NAT_TYPES[topology.nat_type] if 0 <= topology.nat_type < len(NAT_TYPES) else "?"
    behavior = BEHAVIORS[topology.nat_behavior] if 0 <= topology.nat_behavior < len(BEHAVIORS) else "?"
    print(f"nat {nat}, {behavior}, increment {topology.nat_increment}")
    print(f"local {topology.local_addr.decode()}:{topology.local_port}")
    print(f"public {topology.public_addr.decode()}:{topology.public_port}")
    if result != TARN_OK:
        print(f"discovery: {result} {tarn.tarn_last_error().decode()}", file=sys.stderr)
    return 0 if result == TARN_OK else 1


if __name__ == "__main__":
    sys.exit(main())
