"""Fixtures every Python test shares."""

import logging

import pytest


@pytest.fixture(autouse=True)
def quennel_log_restored():
    """A command run in-process sets up the package's log for its own stderr; the next test
    gets the log as it was, so that caplog still sees its warnings."""
    log = logging.getLogger("quennel")
    saved = log.handlers[:], log.propagate, log.level
    yield
    log.handlers, log.propagate, log.level = saved[0], saved[1], saved[2]
