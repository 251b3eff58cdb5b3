"""Shared fixtures: a fresh Ring."""
import os

import pytest

from _uring import Ring


@pytest.fixture
def ring():
    return Ring()
