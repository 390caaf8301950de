"""Shared fixtures: seeded randomness that prints its seed, and a recording logger."""

import os
import random

import pytest


@pytest.fixture
def seeded_random(request):
    seed = int(os.environ.get("TEST_SEED", random.randrange(2**32)))
    print(f"\n{request.node.name}: seed {seed} (rerun with TEST_SEED={seed})")
    return random.Random(seed)


class RecordingLogger:
    """Stands in for a module's structlog logger and keeps every call."""

    def __init__(self):
        self.calls = []

    def debug(self, *args, **kwargs):
        self.calls.append((args, list(kwargs.items())))


@pytest.fixture
def recording_logger(monkeypatch):
    """Returns a function that installs a RecordingLogger as `module.logger`."""

    def install(module):
        logger = RecordingLogger()
        monkeypatch.setattr(module, "logger", logger)
        return logger

    return install


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "large: 100 MB texts and ten-million-line files (native paths only; a few seconds)")
