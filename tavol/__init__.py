"""tavol: a toolkit for speech-enhancement research.

Native extension modules:
    tavol.core.io         gather, load, save and copy WAV files
    tavol.core.synth      mix clean speech with noise at chosen SNRs
    tavol.core.evaluator  PESQ / STOI / SDR tables
    tavol.core.buffer     bounded frame buffer shared between threads
    tavol.util.check      audio input device probing
    tavol.util.visual     waveform, spectrogram and feature figures
    tavol.util.conv       Excel export and case helpers
    tavol.util.others     duplicate finder
"""



def __getattr__(name):
    # The version is looked up on first use: importlib.metadata is slow to import,
    # and short-lived programs such as pesq.exe import this package too.
    if name == "__version__":
        from importlib.metadata import PackageNotFoundError, version

        try:
            return version("tavol")
        except PackageNotFoundError:  # a source tree without installed metadata
            return "0+unknown"
    raise AttributeError(f"module 'tavol' has no attribute {name!r}")
