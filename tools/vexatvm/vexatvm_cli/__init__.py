"""The `vexatvm` command: partition reports on models, rejected matches
explained, network fusion, pictures of partitioned networks."""
