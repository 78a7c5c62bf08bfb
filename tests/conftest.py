import os
import sys

import pytest
from hypothesis import HealthCheck, settings

# The stand-in services live at the top of the repository, beside the tests.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

# Sanitizer builds are several times slower; examples must not fail on time.
settings.register_profile(
    "ashvigil", deadline=None, max_examples=200 if not os.environ.get("ASHVIGIL_SANITIZED") else 60,
    suppress_health_check=[HealthCheck.function_scoped_fixture],
)
settings.load_profile("ashvigil")


@pytest.fixture
def av():
    import ashvigil

    return ashvigil
