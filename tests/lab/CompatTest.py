"""Games of two between the real client and a player that keeps the earlier order of pings and answers
(docorder.py): a client that keeps that order must still reach this one directly through the NATs."""

import concurrent.futures
import os
import unittest

import labsupport
from tarnlab import programs, session

PARALLEL_GAMES = 4
CONFIG = {"tarn.loglevel": "DEBUG"}
DOCORDER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "docorder.py")

# The earlier order answers a relayed ping the moment it comes, also one that comes before the player has
# measured its latest port: those answers take the ports below the ones it then announces, and two
# symmetric players no longer meet. With equal private rounds that is a race between the two starts; the
# real client's longer private round makes the earlier-order player measure first, so the game of two
# symmetric players checks how the two orders meet and not which side started first.
LATE_PUBLIC_PHASE = {"tarn.timeout.private": "1000"}

# Game name -> (the earlier-order player's NAT kind, the real client's, the real client's settings).
GAMES = {
    "symmetric and symmetric": ("symmetric:1", "symmetric:1", LATE_PUBLIC_PHASE),
    # Overlapped, the real client keeps half of its first block's answers for a later block, which
    # meets the ports the earlier-order player announced also when it answered first.
    "symmetric and symmetric overlapped": ("symmetric:1", "symmetric:1", {"tarn.connect.overlap": "1"}),
    "symmetric and port-restricted": ("symmetric:1", "port-restricted", {}),
    "port-restricted and symmetric": ("port-restricted", "symmetric:1", {}),
    "symmetric and full cone": ("symmetric:1", "full-cone", {}),
    "port-restricted and port-restricted": ("port-restricted", "port-restricted", {}),
}


class CompatTest(labsupport.LabTestCase):
    @classmethod
    def setUpClass(cls):
        w = labsupport.new_program_world(cls)
        if w is None:
            return
        cls.rendezvous = programs.Rendezvous(cls.server, cls.bin).start()
        games = {}
        for n, (name, (doc_kind, real_kind, _)) in enumerate(GAMES.items()):
            doc_site = w.add_site(doc_kind, name=f"doc{n}")
            real_site = w.add_site(real_kind, name=f"real{n}")
            doc_bin = programs.earlier_order_folder(cls.lab, doc_site, DOCORDER)
            games[name] = ([doc_site.clients[0], real_site.clients[0]], [doc_bin, cls.bin])
        with concurrent.futures.ThreadPoolExecutor(PARALLEL_GAMES) as pool:
            futures = {name: pool.submit(session.play, clients, cls.bin, cls.server.addrs,
                                         game=name.replace(" ", "-"), config={**CONFIG, **GAMES[name][2]},
                                         bins=bins)
                       for name, (clients, bins) in games.items()}
            cls.games = {name: f.result() for name, f in futures.items()}

    def checkDirectPublic(self, game):
        s = self.games[game]
        for run in s.runs:
            self.assertEqual(run.returncode, programs.EXIT_VALID, s.describe())
        self.assertEqual(s.between(1, 2), (session.DIRECT_PUBLIC, session.DIRECT_PUBLIC), s.describe())

    def testSymmetricReachesSymmetric(self):
        self.checkDirectPublic("symmetric and symmetric")

    def testSymmetricReachesSymmetricOverlapped(self):
        self.checkDirectPublic("symmetric and symmetric overlapped")

    def testSymmetricReachesPortRestricted(self):
        self.checkDirectPublic("symmetric and port-restricted")

    def testPortRestrictedReachesSymmetric(self):
        self.checkDirectPublic("port-restricted and symmetric")

    def testSymmetricReachesFullCone(self):
        self.checkDirectPublic("symmetric and full cone")

    def testPortRestrictedReachesPortRestricted(self):
        self.checkDirectPublic("port-restricted and port-restricted")


if __name__ == "__main__":
    unittest.main()
