"""NAT lab: a small internet of Linux network namespaces with kernel NATs between its sites.

netns    - namespaces, bounded commands, background processes and the Lab that owns and removes them
nat      - the NAT kinds as rows, their nftables rulesets and what discovery should find behind them
portmap  - mapping routers: miniupnpd in a router's namespace, its STUN server, the mappings it holds
world    - the public segment, hosts on it, and sites (a router plus N clients)
programs - drivers for tarn-rendezvous, tarn-probe and the mapped responder; the probe's JSON adapter
mapped   - a stdlib mapped-address responder and prober that measure a NAT without the project's programs
noise    - a stdlib host that opens new UDP flows at a given rate, run on a site's LAN to take NAT ports
commands - the tarn-lab command line; runner - the test runner behind `tarn-lab test`
"""
