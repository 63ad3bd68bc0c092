"""Every result stays bit for bit what it was when data/digests.json was written: faster paths
(vector kernels, parallel stages) must not change a single value."""

import json

import digests


def test_results_match_the_recorded_digests():
    recorded = json.loads((digests.DATA / "digests.json").read_text())
    now = digests.all_digests()
    changed = sorted(key for key in recorded if now.get(key) != recorded[key])
    assert not changed and now.keys() == recorded.keys(), changed
