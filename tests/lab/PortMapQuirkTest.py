"""Routers with quirks players meet: discovery behind each leaves nothing on the router, and says why it
mapped or not. Whether a slow router's answer lands within discovery's wait is a timing matter: see
bench/portmap/shutdown.py."""

import concurrent.futures

import labsupport
from tarnlab import portmap, programs

# kind -> a line the log must hold
QUIRKS = {
    # The search's answer is taken from any port: the device maps well within the 1 s discovery.
    "port-restricted+upnp-ssdp-port": "UPnP-IGD granted",
    "port-restricted+upnp-mute": "did not describe itself",
    "port-restricted+pmp-drop-first": "Port mapping at gateway",
    "port-restricted+natpmp-slow": "Port mapping at gateway",
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

    def testEachQuirkLeavesNothingAndSaysWhy(self):
        for kind, line in QUIRKS.items():
            with self.subTest(kind=kind):
                found, left = self.runs[kind]
                self.assertEqual((found.returncode, left), (0, []), found.describe())
                self.assertIn(line, found.log, found.describe())
