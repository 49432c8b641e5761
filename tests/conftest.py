import os

from hypothesis import HealthCheck, settings

# "ci" keeps the default run short; HYPOTHESIS_PROFILE=long searches further.
settings.register_profile("ci", max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
settings.register_profile("long", max_examples=20_000, deadline=None, suppress_health_check=[HealthCheck.too_slow])
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "ci"))
