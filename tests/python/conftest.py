"""Fixtures shared by the test modules."""

from typing import Any

import pytest


@pytest.fixture(scope="module")
def cluster_client() -> Any:
    """A real Dask cluster on this machine: a scheduler and two worker processes."""
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
        with distributed.Client(cluster) as client:
            yield client
