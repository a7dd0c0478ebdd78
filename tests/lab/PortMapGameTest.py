"""Games behind mapping routers: a player asks its router for a port mapping, advertises it as a full
cone's endpoint, and deletes it when it exits; a router that grants but never forwards costs no game."""

import labsupport
from tarnlab import portmap, programs, session

# DEBUG: the mapper's lines and the pass's rounds, for the checks and for a failure's story.
CONFIG = {"tarn.loglevel": "DEBUG"}
# name -> (kind behind the mapping router, the other player's kind, protocol that maps; None: the lie)
GAMES = {
    "pcp": ("symmetric-random+pmp", "port-restricted", "PCP"),
    "natpmp": ("symmetric-random+natpmp", "port-restricted", "NAT-PMP"),
    "upnp": ("symmetric-random+upnp", "port-restricted", "UPnP-IGD"),
    "lying": ("symmetric-random+lying", "full-cone", None),
}
DIRECT = "DIRECT PUBLIC"


class PortMapGameTest(labsupport.LabTestCase):
    @classmethod
    def setUpClass(cls):
        w = labsupport.new_program_world(cls)
        if w is None:
            return
        cls.sites = {name: (w.add_site(mapped, name=f"pm{name}a"), w.add_site(other, name=f"pm{name}b"))
                     for name, (mapped, other, _) in GAMES.items()}
        cls.rendezvous = programs.Rendezvous(cls.server, cls.bin).start()

        def play(name):
            a, b = cls.sites[name]
            game = session.play([a.clients[0], b.clients[0]], cls.bin, cls.server.addrs, game=f"pm-{name}",
                                config=CONFIG)
            # Read right after the players exited: what they left on the router.
            return game, portmap.mappings_left(a.router)

        # One game at a time: four mapping routers answering at once on two shared cores left a
        # router silent to NAT-PMP or UPnP now and then, and the game was not about that.
        cls.games = {name: play(name) for name in GAMES}

    def testEachProtocolMapsAndThePairConnectsDirectly(self):
        for name, (_, _, protocol) in GAMES.items():
            if protocol is None:
                continue
            with self.subTest(game=name):
                game, _ = self.games[name]
                self.assertEqual(game.between(1, 2), (DIRECT, DIRECT), game.describe())
                mapped = game.runs[0]
                self.assertIn(f"Using the {protocol} mapping", mapped.log, mapped.describe())
                self.assertEqual(mapped.topology["topology"]["natType"], "FULL CONE", mapped.describe())

    def testALyingRouterCostsNoGameAndIsNoticed(self):
        game, _ = self.games["lying"]
        self.assertEqual(game.between(1, 2), (DIRECT, DIRECT), game.describe())
        self.assertIn("No peer reached the mapped endpoint", game.runs[0].log, game.runs[0].describe())

    def testPlayersLeaveNoMappingBehind(self):
        for name in GAMES:
            with self.subTest(game=name):
                game, left = self.games[name]
                self.assertEqual(left, [], game.runs[0].describe())


if __name__ == "__main__":
    import unittest

    unittest.main()
