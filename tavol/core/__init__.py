"""Core modules of tavol: io, synth, evaluator and buffer (native extensions)."""
