"""The parts of the bench, one module each. Each has a `run` that measures (starting and
stopping the servers it needs) and a `sections` that turns what it measured into the report's
sections."""
