"""Routers with quirks players meet: discovery behind each maps, or gives up in time, and leaves nothing."""

import concurrent.futures

import labsupport
from tarnlab import portmap, programs

# kind -> (the type discovery reports: FULL CONE with a mapping, None: either; a line its log must hold)
QUIRKS = {
    "port-restricted+upnp-ssdp-port": ("FULL CONE", "Using the UPnP-IGD mapping"),
    "port-restricted+upnp-mute": ("PORT RESTRICTED CONE", "did not describe itself"),
    "port-restricted+pmp-drop-first": ("FULL CONE", "Using the PCP mapping"),
    # Granted after discovery stopped waiting (nothing heard in 15 ms), while or after the change tests ran.
    "port-restricted+natpmp-slow": (None, "NAT-PMP granted"),
}


class PortMapQuirkTest(labsupport.LabTestCase):
    @classmethod
    def setUpClass(cls):
        w = labsupport.new_program_world(cls)
        if w is None:
            return
        sites = {k: w.add_site(k, name="q" + k.rpartition("+")[2].replace("-", "")) for k in QUIRKS}
        cls.rendezvous = programs.Rendezvous(cls.server, cls.bin).start()

        def discover(kind):  # and what the router holds right after the probe exited
            return (programs.discover(sites[kind].clients[0], cls.bin, cls.server.addrs),
                    portmap.mappings_left(sites[kind].router))

        with concurrent.futures.ThreadPoolExecutor(len(QUIRKS)) as pool:
            cls.runs = dict(zip(QUIRKS, pool.map(discover, QUIRKS)))

    def testEachQuirkMapsOrGivesUpAndLeavesNothing(self):
        for kind, (nat_type, line) in QUIRKS.items():
            with self.subTest(kind=kind):
                found, left = self.runs[kind]
                self.assertEqual((found.returncode, nat_type or found.topology.nat_type, left),
                                 (0, found.topology.nat_type, []), found.describe())
                self.assertIn(line, found.log, found.describe())
